// Golden-file tests of the loader: each golden/<case>.conf is loaded (with
// the prefixes of <case>.prefixes, if present) and the (key, raw value)
// pairs, in list order, must equal <case>.expected. An expected line is two
// double-quoted strings with \\, \" and \xHH escapes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "props_test_util.h"

namespace {

using propstest::Pairs;
namespace fs = std::filesystem;

// Reads one quoted string from `in`.
bool ReadQuoted(std::istream &in, std::string *out) {
  char c;
  if (!(in >> c) || c != '"') return false;
  out->clear();
  while (in.get(c) && c != '"') {
    if (c == '\\') {
      in.get(c);
      if (c == 'x') {
        char hex[3] = {0, 0, 0};
        in.read(hex, 2);
        c = static_cast<char>(std::stoi(hex, nullptr, 16));
      }
    }
    out->push_back(c);
  }
  return c == '"';
}

Pairs ReadExpected(const fs::path &path) {
  Pairs pairs;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::string key, value;
    if (ReadQuoted(ls, &key) && ReadQuoted(ls, &value)) pairs.emplace_back(key, value);
    else ADD_FAILURE() << "bad line in " << path << ": " << line;
  }
  return pairs;
}

std::vector<std::string> ReadLines(const fs::path &path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(PropsGolden, EveryCaseLoadsTheExpectedPairs) {
  int cases = 0;
  for (const auto &entry : fs::directory_iterator(PROPS_GOLDEN_DIR)) {
    if (entry.path().extension() != ".conf") continue;
    fs::path base = entry.path();
    SCOPED_TRACE(base.stem().string());
    std::vector<std::string> prefix_store;
    std::vector<const char *> prefixes;
    fs::path prefix_file = fs::path(base).replace_extension(".prefixes");
    if (fs::exists(prefix_file)) {
      prefix_store = ReadLines(prefix_file);
      for (const auto &p : prefix_store) prefixes.push_back(p.c_str());
      prefixes.push_back(nullptr);
    }
    uint32_t status = 99;
    propstest::SetPtr set(LoadPropertiesWithoutSecurity(base.c_str(), prefixes.empty() ? nullptr : prefixes.data(),
                                                        &status));
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(propstest::ListPairs(set.get()), ReadExpected(fs::path(base).replace_extension(".expected")));
    ++cases;
  }
  EXPECT_GE(cases, 15);
}

}  // namespace
