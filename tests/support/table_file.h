// Test tables kept as data (in a golden/ or testdata/ directory next to the
// test): one row a line, its fields separated by blanks. A field is a bare
// word or a text in double quotes with the escapes \\, \" and \xHH (any
// byte); the bare word null stands for a null pointer. Blank lines and lines
// that begin with '#' are comments. A line that cannot be read, or a file
// that cannot be opened, fails the running test, naming the file and line.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
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

  const std::string &operator[](size_t i) const { return fields.at(i).text; }
  const char *c_str(size_t i) const { return fields.at(i).c_str(); }
  // Whether the row has `n` fields after its first; fails the test when not.
  bool Args(size_t n) const {
    if (fields.size() == n + 1) return true;
    ADD_FAILURE() << where << ": " << fields.size() - 1 << " arguments, not " << n;
    return false;
  }
  // Field `i` as a number (decimal, or hexadecimal after 0x); anything else fails the test.
  long long Number(size_t i) const {
    char *end = nullptr;
    const long long n = strtoll(fields.at(i).text.c_str(), &end, 0);
    if (fields[i].quoted || fields[i].text.empty() || *end != '\0')
      ADD_FAILURE() << where << ": field " << i << " is not a number";
    return n;
  }
};

// Reads the field that starts at line[p] and moves p past it; false when it is malformed.
inline bool ReadField(const std::string &line, size_t &p, Field &field) {
  if (line[p] != '"') {
    field.text = line.substr(p, line.find_first_of(" \t", p) - p);
    p += field.text.size();
    return field.text.find_first_of("\"\\") == std::string::npos;
  }
  field.quoted = true;
  for (++p; p < line.size() && line[p] != '"'; ++p) {
    char c = line[p];
    if (c == '\\' && ++p < line.size()) {
      c = line[p];
      if (c == 'x' && p + 2 < line.size() && isxdigit(line[p + 1]) && isxdigit(line[p + 2])) {
        c = static_cast<char>(std::stoi(line.substr(p + 1, 2), nullptr, 16));
        p += 2;
      } else if (c != '\\' && c != '"') {
        return false;
      }
    }
    field.text += c;
  }
  return ++p <= line.size() && (p == line.size() || line[p] == ' ' || line[p] == '\t');
}

inline std::vector<Row> ReadTable(const std::string &path) {
  std::ifstream in(path);
  if (!in) ADD_FAILURE() << path << ": cannot be read";
  std::vector<Row> rows;
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    Row row{path + ":" + std::to_string(++number), {}};
    size_t p = line.find_first_not_of(" \t");
    if (p == std::string::npos || line[p] == '#') continue;
    bool ok = true;
    for (; ok && p < line.size(); p = line.find_first_not_of(" \t", p))
      ok = ReadField(line, p, row.fields.emplace_back());
    if (ok) rows.push_back(row);
    if (!ok) ADD_FAILURE() << row.where << ": malformed field " << row.fields.size();
  }
  return rows;
}

// Rows of the form CALL ARGUMENTS -> RESULTS: `call` gets the row up to
// the arrow and gives what the call it names gives, as texts, which must be
// the results. A call `call` does not know fails the test.
inline void RunTable(const std::string &path,
                     const std::function<std::vector<std::string>(const Row &)> &call) {
  for (Row row : ReadTable(path)) {
    SCOPED_TRACE(row.where);
    const auto arrow = std::find_if(row.fields.begin(), row.fields.end(),
                                    [](const Field &f) { return !f.quoted && f.text == "->"; });
    if (arrow == row.fields.end()) {
      ADD_FAILURE() << "no ->";
      continue;
    }
    std::vector<std::string> results;
    for (auto f = arrow + 1; f != row.fields.end(); ++f) results.push_back(f->text);
    row.fields.erase(arrow, row.fields.end());
    EXPECT_EQ(call(row), results);
  }
}

// A C string as a table gives it: null as the bare word null.
inline std::string Text(const char *s) { return s != nullptr ? s : "null"; }

}  // namespace vxtest
