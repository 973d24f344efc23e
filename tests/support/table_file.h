// Test tables kept as data (in a golden/ or testdata/ directory next to the
// test): one row a line, its fields separated by blanks. A field is a bare
// word or a text in double quotes with the escapes \\, \" and \xHH (any
// byte); the bare word null stands for a null pointer. A bare -> ends the
// arguments of a row and starts its results. Blank lines and lines that
// begin with '#' are comments. A line that cannot be read, or a file that
// cannot be opened, fails the running test, naming the file and line.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <vector>

namespace vxtest {

struct Field {
  std::string text;
  bool quoted = false;
  // The text, or null for the bare word null.
  const char *c_str() const { return quoted || text != "null" ? text.c_str() : nullptr; }
};

struct Row {
  std::string where;  // file:line
  std::vector<Field> fields;
  std::vector<std::string> results;  // after ->
  bool arrow = false;

  const std::string &operator[](size_t i) const { return fields.at(i).text; }
  const char *c_str(size_t i) const { return fields.at(i).c_str(); }
  // Field `i` as a number (decimal, or hexadecimal after 0x); anything else fails the test.
  long long Number(size_t i) const {
    char *end = nullptr;
    const long long n = strtoll(fields.at(i).text.c_str(), &end, 0);
    if (fields[i].quoted || fields[i].text.empty() || *end != '\0')
      ADD_FAILURE() << where << ": not a number";
    return n;
  }
  // Whether the row has `n` fields after its first; fails the test when not.
  bool Args(size_t n) const {
    if (fields.size() == n + 1) return true;
    ADD_FAILURE() << where << ": " << fields.size() - 1 << " arguments, not " << n;
    return false;
  }
};

// The text of a quoted field without its escapes (which the reader has checked).
inline std::string Unescape(std::string::const_iterator c, std::string::const_iterator end) {
  std::string text;
  for (; c < end; ++c) {
    if (*c == '\\' && *++c == 'x') {
      text += static_cast<char>(std::stoi(std::string(c + 1, c + 3), nullptr, 16));
      c += 2;
    } else {
      text += *c;
    }
  }
  return text;
}

inline std::vector<Row> ReadTable(const std::string &path) {
  // Blanks, then a quoted text or a bare word, then a blank or the end.
  static const std::regex kField(
      R"re([ \t]*(?:"((?:[^"\\]|\\[\\"]|\\x[0-9a-fA-F]{2})*)"|([^ \t"\\]+))(?=[ \t]|$))re");
  std::ifstream in(path);
  if (!in) ADD_FAILURE() << path << ": cannot be read";
  std::vector<Row> rows;
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    Row row{path + ":" + std::to_string(++number), {}, {}};
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    auto p = line.cbegin();
    for (std::smatch m; regex_search(p, line.cend(), m, kField, std::regex_constants::match_continuous);
         p = m[0].second) {
      const Field f = m[1].matched ? Field{Unescape(m[1].first, m[1].second), true} : Field{m[2].str()};
      if (!f.quoted && f.text == "->" && !row.arrow) {
        row.arrow = true;
      } else if (row.arrow) {
        row.results.push_back(f.text);
      } else {
        row.fields.push_back(f);
      }
    }
    if (line.find_first_not_of(" \t", static_cast<size_t>(p - line.cbegin())) == std::string::npos) {
      rows.push_back(row);
    } else {
      ADD_FAILURE() << row.where << ": malformed at column " << p - line.cbegin() + 1;
    }
  }
  return rows;
}

// Rows of the form CALL ARGUMENTS -> RESULTS: `call` gets each row and
// gives what the call it names gives for the arguments, as texts, which
// must be the results.
inline void RunTable(const std::string &path,
                     const std::function<std::vector<std::string>(const Row &)> &call) {
  for (const Row &row : ReadTable(path)) {
    SCOPED_TRACE(row.where);
    EXPECT_TRUE(row.arrow) << "no ->";
    EXPECT_EQ(call(row), row.results);
  }
}

// A C string as a table gives it: null as the bare word null.
inline std::string Text(const char *s) { return s != nullptr ? s : "null"; }

}  // namespace vxtest
