// The export table of each built library is exactly the expected list: plain names for
// device management and ten operators, C++ names carrying the record type for the rest.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

namespace {

std::vector<std::string> read_names(const std::string& path) {
  std::ifstream file(path);
  EXPECT_TRUE(file.good()) << path;
  std::vector<std::string> names;
  std::string line;
  while (std::getline(file, line)) {
    if (!line.empty() && line[0] != '#') names.push_back(line);
  }
  return names;
}

// Operator name -> the exported symbol as the demangler prints it.
std::map<std::string, std::string> operator_symbols() {
  std::map<std::string, std::string> symbols;
  for (const std::string& line : read_names(ZK_OCU_TEST_DATA_DIR "/operator_exports.txt")) {
    std::istringstream fields(line);
    std::string name, record, linkage;
    fields >> name >> record >> linkage;
    symbols[name] =
        linkage == "c" ? name : name + "(zk_ocu_device*, zk_ocu_operator*, " + record + "*)";
  }
  return symbols;
}

std::set<std::string> expected_exports(bool emulated) {
  const std::map<std::string, std::string> operators = operator_symbols();
  EXPECT_EQ(operators.size(), 89u);
  std::set<std::string> expected;
  for (const std::string& name : read_names(ZK_OCU_TEST_DATA_DIR "/exports.txt")) {
    auto it = operators.find(name);
    expected.insert(it == operators.end() ? name : it->second);
  }
  if (emulated) {
    for (const std::string& name : read_names(ZK_OCU_TEST_DATA_DIR "/emu_exports.txt")) {
      expected.insert(name);
    }
  }
  return expected;
}

// Strong defined symbols of the dynamic symbol table. Weak ones are template
// instantiations of the standard library, which every C++ shared library carries;
// AddressSanitizer adds an ODR indicator per exported variable.
std::set<std::string> actual_exports(const std::string& library) {
  const std::string command = "nm -D --defined-only --demangle '" + library + "'";
  FILE* pipe = popen(command.c_str(), "r");
  EXPECT_NE(pipe, nullptr);
  std::set<std::string> symbols;
  if (pipe == nullptr) return symbols;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::string text(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    // "<address> <type> <name>"
    const size_t first = text.find(' ');
    if (first == std::string::npos || first + 3 > text.size()) continue;
    const char type = text[first + 1];
    const std::string name = text.substr(first + 3);
    if (name.rfind("__odr_asan", 0) == 0) continue;
    if (type == 'T' || type == 'D' || type == 'B' || type == 'R') symbols.insert(name);
  }
  EXPECT_EQ(pclose(pipe), 0) << command;
  return symbols;
}

void expect_exports(const std::string& library, bool emulated) {
  const std::set<std::string> expected = expected_exports(emulated);
  const std::set<std::string> actual = actual_exports(library);
  for (const std::string& name : expected) EXPECT_TRUE(actual.count(name)) << "missing: " << name;
  for (const std::string& name : actual)
    EXPECT_TRUE(expected.count(name)) << "unexpected: " << name;
}

TEST(ExportTable, EmulatedLibrary) {
  if (std::string(ZK_OCU_EMU_LIBRARY).empty()) GTEST_SKIP() << "not built";
  expect_exports(ZK_OCU_EMU_LIBRARY, true);
}

TEST(ExportTable, CudaLibrary) {
  if (std::string(ZK_OCU_CUDA_LIBRARY).empty()) GTEST_SKIP() << "not built";
  expect_exports(ZK_OCU_CUDA_LIBRARY, false);
}

}  // namespace
