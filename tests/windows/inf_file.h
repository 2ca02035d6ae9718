/*
 * A reader for the driver package's INF file, enough to check it: sections
 * of lines, each line an optional key before '=' and comma-separated values,
 * with comments and surrounding blanks removed and %strings% substituted
 * from the [Strings] section. Section and key names compare without case,
 * as Setup compares them.
 */
#pragma once

#include <map>
#include <string>
#include <vector>

namespace inf {

struct Line {
  std::string key;                  // empty for a line without '='
  std::vector<std::string> values;  // after '=', or the whole line
};

class File {
 public:
  // Parses the text; problems (a line outside any section, an unknown
  // %string%) are collected in Problems().
  explicit File(const std::string& text);

  bool HasSection(const std::string& name) const;
  const std::vector<Line>& Section(const std::string& name) const;  // empty if missing
  // The first value of `key` in the section, or empty.
  std::string Value(const std::string& section, const std::string& key) const;
  // Every value of every line with this key in the section.
  std::vector<std::string> Values(const std::string& section, const std::string& key) const;
  const std::vector<std::string>& Problems() const { return problems_; }

 private:
  std::map<std::string, std::vector<Line>> sections_;  // by lower-case name
  std::vector<std::string> problems_;
};

std::string Lower(std::string text);

}  // namespace inf
