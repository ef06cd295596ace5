// The PE tables of the cross-built tarvo.mexw64, read with x86_64-w64-mingw32-objdump -p:
// a PE32+ x86-64 DLL whose only export is mexFunction and which imports only from MATLAB's
// libmx.dll and libmex.dll (only names our .def files list) and from Windows system DLLs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string run(const std::string& command) {
  std::string out;
  std::FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

struct PeTables {
  std::string text;                                      // objdump -p output
  std::vector<std::string> export_names;                 // the name pointer table
  int export_address_entries = 0;                        // the export address table
  std::map<std::string, std::set<std::string>> imports;  // DLL name (lower case) -> names
};

PeTables read_tables(const std::string& file) {
  PeTables t;
  t.text = run(std::string(TARVO_OBJDUMP) + " -p '" + file + "' 2>&1");
  std::istringstream in(t.text);
  std::string line, dll;
  enum { kNone, kImports, kEat, kNames } section = kNone;
  const std::regex import_entry(R"(^\s*[0-9a-fA-F]+\s+\d+\s+(\S+)\s*$)");
  const std::regex eat_entry(R"(^\s*\[\s*\d+\] \+base\[)");
  const std::regex name_entry(R"(^\s*\[\s*\d+\] (\S+)\s*$)");
  std::smatch m;
  while (std::getline(in, line)) {
    if (line.find("DLL Name: ") != std::string::npos) {
      dll = lower(line.substr(line.find("DLL Name: ") + 10));
      t.imports[dll];
      section = kImports;
    } else if (line.rfind("Export Address Table -- Ordinal Base", 0) == 0) {
      section = kEat;
    } else if (line.rfind("[Ordinal/Name Pointer] Table", 0) == 0) {
      section = kNames;
    } else if (line.find_first_not_of(" \t\r") == std::string::npos) {
      section = kNone;
    } else if (section == kImports && std::regex_match(line, m, import_entry)) {
      t.imports[dll].insert(m[1]);
    } else if (section == kEat && std::regex_search(line, eat_entry)) {
      ++t.export_address_entries;
    } else if (section == kNames && std::regex_match(line, m, name_entry)) {
      t.export_names.push_back(m[1]);
    }
  }
  return t;
}

// The names after EXPORTS in a .def file (without forwarders or ordinals).
std::set<std::string> def_names(const std::string& path) {
  std::ifstream in(path);
  std::set<std::string> names;
  std::string line;
  bool exports = false;
  const std::regex entry(R"(^\s+([A-Za-z_][A-Za-z0-9_]*)\s*$)");
  std::smatch m;
  while (std::getline(in, line)) {
    if (line.rfind("EXPORTS", 0) == 0)
      exports = true;
    else if (exports && std::regex_match(line, m, entry))
      names.insert(m[1]);
  }
  return names;
}

// Every module of the package: tarvo, tarvo_apply, tarvo_calibrate and tarvo_prepare.
class Module : public testing::TestWithParam<const char*> {
 protected:
  const PeTables& module_tables() {
    static std::map<std::string, PeTables> tables;
    auto it = tables.find(GetParam());
    if (it == tables.end()) it = tables.emplace(GetParam(), read_tables(GetParam())).first;
    return it->second;
  }
};

TEST_P(Module, ModuleIsA64BitWindowsDll) {
  const std::string& p = module_tables().text;
  EXPECT_NE(p.find("file format pei-x86-64"), std::string::npos) << p.substr(0, 400);
  EXPECT_NE(p.find("(PE32+)"), std::string::npos);
  const std::regex dll_flag(R"(Characteristics 0x[0-9a-f]+\n(\s+\S.*\n)*?\s+DLL\n)");
  EXPECT_TRUE(std::regex_search(p, dll_flag)) << "the file header does not mark a DLL";
}

TEST_P(Module, OnlyExportIsMexFunction) {
  const PeTables& t = module_tables();
  EXPECT_EQ(t.export_address_entries, 1);
  EXPECT_EQ(t.export_names, std::vector<std::string>{"mexFunction"});
}

TEST_P(Module, ImportsOnlyFromMatlabAndSystemDlls) {
  // KERNEL32 and the C runtime of Windows (msvcrt, or the UCRT and its api-ms-win-crt
  // forwarders); never a MinGW runtime DLL (libstdc++-6, libgcc_s_seh-1, libwinpthread-1).
  const std::set<std::string> allowed{"libmx.dll", "libmex.dll", "kernel32.dll", "msvcrt.dll",
                                      "ucrtbase.dll"};
  const PeTables& t = module_tables();
  ASSERT_FALSE(t.imports.empty()) << t.text.substr(0, 400);
  for (const auto& [dll, names] : t.imports)
    EXPECT_TRUE(allowed.count(dll) || dll.rfind("api-ms-win-crt-", 0) == 0)
        << "imports from " << dll;
  EXPECT_EQ(t.imports.count("libmx.dll"), 1u);
  EXPECT_EQ(t.imports.count("libmex.dll"), 1u);
}

TEST_P(Module, MatlabImportsAreThoseTheDefFilesList) {
  const PeTables& t = module_tables();
  for (const auto& [dll, def] : {std::pair<std::string, std::string>{"libmx.dll", TARVO_LIBMX_DEF},
                                 {"libmex.dll", TARVO_LIBMEX_DEF}}) {
    const std::set<std::string> listed = def_names(def);
    ASSERT_FALSE(listed.empty()) << def;
    ASSERT_TRUE(t.imports.count(dll)) << dll;
    for (const std::string& name : t.imports.at(dll))
      EXPECT_TRUE(listed.count(name)) << name << " imported from " << dll << " is not in " << def;
  }
  // The module reports through libmex and reads its inputs through libmx.
  EXPECT_TRUE(t.imports.at("libmex.dll").count("mexPrintf") ||
              t.imports.at("libmex.dll").count("mexErrMsgIdAndTxt"));
  EXPECT_TRUE(t.imports.at("libmx.dll").count("mxGetDimensions_700"));
}

std::string module_name(const testing::TestParamInfo<const char*>& info) {
  const std::string path = info.param;
  const std::size_t slash = path.find_last_of('/') + 1;
  return path.substr(slash, path.find('.', slash) - slash);
}

INSTANTIATE_TEST_SUITE_P(PeTables, Module,
                         testing::Values(TARVO_MEXW64, TARVO_APPLY_MEXW64, TARVO_CALIBRATE_MEXW64,
                                         TARVO_PREPARE_MEXW64),
                         module_name);

// The .def files list exactly the operations the MEX API layer declares for MATLAB: every
// mx/mex function of gateway/mex_api.h but the module's own entry, in the right library.
TEST(PeTables, DefFilesListExactlyTheMexApiLayer) {
  std::ifstream in(TARVO_MEX_API_H);
  ASSERT_TRUE(in) << TARVO_MEX_API_H;
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string header = ss.str();
  const std::regex decl(R"((?:^|\n)[A-Za-z][A-Za-z0-9_ *]*?[ *]((?:mx|mex)[A-Za-z0-9_]*)\()");
  std::set<std::string> mx, mex;
  for (auto it = std::sregex_iterator(header.begin(), header.end(), decl);
       it != std::sregex_iterator(); ++it) {
    const std::string name = (*it)[1];
    if (name == "mexFunction") continue;
    (name.rfind("mex", 0) == 0 ? mex : mx).insert(name);
  }
  EXPECT_GE(mx.size(), 6u);
  EXPECT_EQ(def_names(TARVO_LIBMX_DEF), mx);
  EXPECT_EQ(def_names(TARVO_LIBMEX_DEF), mex);
}

// The stand-in libmx.dll that the Wine run loads provides every name the module imports.
TEST(PeTables, StandInLibmxExportsEveryLibmxName) {
  const PeTables t = read_tables(TARVO_STANDIN_LIBMX);
  const std::set<std::string> exported(t.export_names.begin(), t.export_names.end());
  for (const std::string& name : def_names(TARVO_LIBMX_DEF))
    EXPECT_TRUE(exported.count(name)) << name;
  EXPECT_GT(t.export_names.size(), 1u);  // the checker sees more than one export when there is
}

}  // namespace
