// Golden-file tests of the loader: each golden/<case>.conf is loaded (with
// the prefixes of <case>.prefixes, one per line, if present) and its
// (key, raw value) pairs in list order must equal <case>.expected: one pair
// a line, two double-quoted strings with \\, \" and \xHH escapes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "props_test_util.h"

namespace {

namespace fs = std::filesystem;

// Reads the next quoted string of `line` from *pos.
std::string Quoted(const std::string &line, size_t *pos) {
  std::string out;
  size_t i = line.find('"', *pos) + 1;
  for (; i < line.size() && line[i] != '"'; ++i) {
    if (line[i] != '\\') out += line[i];
    else if (line[++i] != 'x') out += line[i];
    else out += static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16)), i += 2;
  }
  *pos = i + 1;
  return out;
}

std::vector<std::string> Lines(const fs::path &path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(PropsGolden, EveryCaseLoadsTheExpectedPairs) {
  int cases = 0;
  for (const auto &entry : fs::directory_iterator(PROPS_GOLDEN_DIR)) {
    fs::path conf = entry.path();
    if (conf.extension() != ".conf") continue;
    SCOPED_TRACE(conf.stem().string());
    propstest::Pairs expected;
    for (const std::string &line : Lines(fs::path(conf).replace_extension(".expected"))) {
      size_t pos = 0;
      std::string key = Quoted(line, &pos);
      expected.emplace_back(key, Quoted(line, &pos));
    }
    std::vector<std::string> prefix_lines = Lines(fs::path(conf).replace_extension(".prefixes"));
    std::vector<const char *> prefixes;
    for (const auto &p : prefix_lines) prefixes.push_back(p.c_str());
    prefixes.push_back(nullptr);
    bool filtered = fs::exists(fs::path(conf).replace_extension(".prefixes"));
    uint32_t status = 99;
    propstest::SetPtr set(LoadPropertiesWithoutSecurity(conf.c_str(), filtered ? prefixes.data() : nullptr, &status));
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(propstest::ListPairs(set.get()), expected);
    ++cases;
  }
  EXPECT_GE(cases, 15);
}

}  // namespace
