#include "windows/inf_file.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace inf {
namespace {

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

// Removes a comment (';' outside quotes) and the quotes themselves.
std::string StripLine(const std::string& line) {
  std::string out;
  bool quoted = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      out += c;
    } else if (c == ';' && !quoted) {
      break;
    } else {
      out += c;
    }
  }
  return out;
}

std::vector<std::string> SplitValues(const std::string& text) {
  std::vector<std::string> values;
  std::string current;
  bool quoted = false;
  for (char c : text) {
    if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      values.push_back(Trim(current));
      current.clear();
    } else {
      current += c;
    }
  }
  values.push_back(Trim(current));
  return values;
}

}  // namespace

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

File::File(const std::string& text) {
  std::istringstream in(text);
  std::string raw;
  std::string section;
  std::vector<std::pair<std::string, std::string>> lines;  // section, text
  while (std::getline(in, raw)) {
    std::string line = Trim(StripLine(raw));
    if (line.empty()) continue;
    if (line.front() == '[' && line.back() == ']') {
      section = Lower(Trim(line.substr(1, line.size() - 2)));
      sections_[section];
      continue;
    }
    if (section.empty()) {
      problems_.push_back("line outside any section: " + line);
      continue;
    }
    lines.emplace_back(section, line);
  }

  // Strings first, so that every other line can use them.
  std::map<std::string, std::string> strings;
  for (const auto& [name, line] : lines) {
    if (name != "strings") continue;
    size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string value = Trim(line.substr(equals + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    strings[Lower(Trim(line.substr(0, equals)))] = value;
  }
  auto substitute = [&](const std::string& text) {
    std::string out;
    for (size_t at = 0; at < text.size();) {
      size_t open = text.find('%', at);
      if (open == std::string::npos) {
        out += text.substr(at);
        break;
      }
      size_t close = text.find('%', open + 1);
      if (close == std::string::npos) {
        problems_.push_back("unclosed %string% in: " + text);
        out += text.substr(at);
        break;
      }
      out += text.substr(at, open - at);
      std::string name = text.substr(open + 1, close - open - 1);
      bool isDirectoryId = !name.empty() && std::all_of(name.begin(), name.end(), ::isdigit);
      if (isDirectoryId) {
        out += "%" + name + "%";  // a directory id such as %12%, resolved at install
      } else if (auto found = strings.find(Lower(name)); found != strings.end()) {
        out += found->second;
      } else {
        problems_.push_back("string not defined in [Strings]: %" + name + "%");
      }
      at = close + 1;
    }
    return out;
  };

  for (const auto& [name, line] : lines) {
    Line parsed;
    size_t equals = line.find('=');
    std::string rest = line;
    if (equals != std::string::npos && name != "strings") {
      parsed.key = Lower(Trim(substitute(line.substr(0, equals))));
      rest = line.substr(equals + 1);
    }
    parsed.values = SplitValues(substitute(rest));
    sections_[name].push_back(parsed);
  }
}

bool File::HasSection(const std::string& name) const { return sections_.count(Lower(name)) != 0; }

const std::vector<Line>& File::Section(const std::string& name) const {
  static const std::vector<Line> kNone;
  auto found = sections_.find(Lower(name));
  return found == sections_.end() ? kNone : found->second;
}

std::string File::Value(const std::string& section, const std::string& key) const {
  std::vector<std::string> values = Values(section, key);
  return values.empty() ? "" : values.front();
}

std::vector<std::string> File::Values(const std::string& section, const std::string& key) const {
  std::vector<std::string> values;
  for (const Line& line : Section(section)) {
    if (line.key == Lower(key)) values.insert(values.end(), line.values.begin(), line.values.end());
  }
  return values;
}

}  // namespace inf
