// The worker threads of a module that is unloaded (dlclose, as a host's `clear mex` does) are
// stopped and joined before its code goes: a helper left behind would run unmapped code when
// it wakes. The module here is loaded, used on several threads and unloaded three times.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace {

int threads_in_process() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  return -1;
}

TEST(WorkerPool, UnloadingTheModuleJoinsItsThreadsAndReloadingWorks) {
  const long long want = 999LL * 1000 * 1999 / 6;  // sum of i^2 for i < 1000
  const int before = threads_in_process();
  ASSERT_GT(before, 0);
  for (int cycle = 0; cycle < 3; ++cycle) {
    void* module = dlopen(TARVO_POOL_MODULE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    using Sum = long long (*)(int, int);
    auto sum = reinterpret_cast<Sum>(dlsym(module, "pool_module_sum"));
    ASSERT_NE(sum, nullptr);
    EXPECT_EQ(sum(4, 1000), want) << "cycle " << cycle;
    EXPECT_EQ(sum(3, 1000), want) << "cycle " << cycle;
    EXPECT_EQ(threads_in_process(), before + 3) << "helpers of the widest loop, cycle " << cycle;
    ASSERT_EQ(dlclose(module), 0);
    EXPECT_EQ(dlopen(TARVO_POOL_MODULE, RTLD_NOW | RTLD_NOLOAD), nullptr) << "not unloaded";
    EXPECT_EQ(threads_in_process(), before) << "helpers left running, cycle " << cycle;
  }
}

}  // namespace
