# Cross compilation for 64-bit Windows with mingw-w64 (Debian: g++-mingw-w64-x86-64,
# mingw-w64-tools). Usage: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake ...
#
# The posix thread flavour of the compilers is used: its libstdc++ provides std::mutex and
# std::thread (the win32 flavour of GCC 12 does not). Everything is linked statically
# (-static -static-libgcc -static-libstdc++), so no MinGW runtime DLL is needed at run time.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TARVO_MINGW_TRIPLE x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${TARVO_MINGW_TRIPLE}-gcc-posix ${TARVO_MINGW_TRIPLE}-gcc
             REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${TARVO_MINGW_TRIPLE}-g++-posix ${TARVO_MINGW_TRIPLE}-g++
             REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TARVO_MINGW_TRIPLE}-windres)
find_program(CMAKE_AR NAMES ${TARVO_MINGW_TRIPLE}-gcc-ar-posix ${TARVO_MINGW_TRIPLE}-ar)
find_program(CMAKE_RANLIB NAMES ${TARVO_MINGW_TRIPLE}-gcc-ranlib-posix ${TARVO_MINGW_TRIPLE}-ranlib)
find_program(TARVO_DLLTOOL NAMES ${TARVO_MINGW_TRIPLE}-dlltool REQUIRED)
find_program(TARVO_PE_OBJDUMP NAMES ${TARVO_MINGW_TRIPLE}-objdump REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${TARVO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
