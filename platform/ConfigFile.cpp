#include "platform/ConfigFile.h"

#include <climits>
#include <cstring>
#include <iterator>
#include <sstream>

// Parsed by hand rather than with libinih, Debian's INI parser: as packaged
// it keeps a '#' comment after a value as part of the value, keeps quotes,
// joins an indented line to the value above, cuts lines after 200 bytes and
// gives its caller no line numbers, so little of it would remain in use.

namespace cldb {
namespace {

enum class Kind { kNumber, kPath, kFileMode };

struct KeyRule {
  const char* name;
  Kind kind;
  unsigned long max;  // numbers only
};

struct SectionRule {
  const char* name;
  const KeyRule* keys;  // null: any key, each of kind `anyKind`
  size_t keyCount;
  Kind anyKind;
};

// The settings of a client's ([Courier]) and an auxiliary copy's ([Warden])
// cache tables.
const KeyRule kTableKeys[] = {
    {"CLDBCtreeBufferCount", Kind::kNumber, ULONG_MAX},
    {"CLDBCtreeNodeSize", Kind::kNumber, ULONG_MAX},
    {"CLDBCompactIntervalDays", Kind::kNumber, ULONG_MAX},
    {"MaxCacheDBSizeMB", Kind::kNumber, ULONG_MAX},
};
const KeyRule kCldbKeys[] = {
    {"RootFolder", Kind::kPath, 0},
    {"CloudLaptopClient", Kind::kNumber, 1},
    {"FileMode", Kind::kFileMode, 0},
};
const KeyRule kLogKeys[] = {
    {"DebugLevel", Kind::kNumber, ULONG_MAX},
    {"LogFile", Kind::kPath, 0},
};

// Every section and key the library reads; the only list of them.
const SectionRule kSections[] = {
    {"Courier", kTableKeys, std::size(kTableKeys), Kind::kNumber},
    {"Warden", kTableKeys, std::size(kTableKeys), Kind::kNumber},
    {"CLDB", kCldbKeys, std::size(kCldbKeys), Kind::kNumber},
    {"CLDBRootFolders", nullptr, 0, Kind::kPath},  // <rootFolderKey> = <folder>
    {"EvDebug", kLogKeys, std::size(kLogKeys), Kind::kNumber},
};

const char kSpace[] = " \t\r\n\f\v";

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(kSpace);
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(kSpace) - b + 1);
}

bool IsSpace(char c) { return c != '\0' && std::strchr(kSpace, c) != nullptr; }

// Empty, or only a comment, once trimmed.
bool IsBlankOrComment(const std::string& s) {
  std::string t = Trim(s);
  return t.empty() || t[0] == '#' || t[0] == ';';
}

const SectionRule* FindSection(const std::string& name) {
  for (const SectionRule& s : kSections)
    if (name == s.name) return &s;
  return nullptr;
}

// What `section` allows for `key`; false when the section does not know it.
bool FindKey(const SectionRule& section, const std::string& key, KeyRule& rule) {
  if (!section.keys) {
    rule = {"", section.anyKind, ULONG_MAX};
    return true;
  }
  for (size_t i = 0; i < section.keyCount; ++i)
    if (key == section.keys[i].name) {
      rule = section.keys[i];
      return true;
    }
  return false;
}

std::string SectionNames() {
  std::string names;
  for (const SectionRule& s : kSections) names += std::string(names.empty() ? "" : ", ") + s.name;
  return names;
}

std::string KeyNames(const SectionRule& section) {
  std::string names;
  for (size_t i = 0; i < section.keyCount; ++i)
    names += std::string(i ? ", " : "") + section.keys[i].name;
  return names;
}

// The value after '=': unquoted, or cut at its comment, then trimmed.
bool ParseValue(const std::string& text, std::string& value, std::string& problem) {
  size_t begin = text.find_first_not_of(kSpace);
  if (begin != std::string::npos && (text[begin] == '"' || text[begin] == '\'')) {
    size_t close = text.find(text[begin], begin + 1);
    if (close == std::string::npos) {
      problem = "the quote is not closed";
      return false;
    }
    if (!IsBlankOrComment(text.substr(close + 1))) {
      problem = "text follows the closing quote";
      return false;
    }
    value = text.substr(begin + 1, close - begin - 1);
    return true;
  }
  size_t end = 0;
  while (end < text.size() &&
         !((text[end] == '#' || text[end] == ';') && end > 0 && IsSpace(text[end - 1])))
    ++end;
  value = Trim(text.substr(0, end));
  return true;
}

bool CheckValue(const KeyRule& rule, const std::string& value, std::string& problem) {
  if (value.empty()) {
    problem = "has no value";
    return false;
  }
  if (rule.kind == Kind::kNumber) {
    unsigned long number = 0;
    return ParseConfigNumber(value, rule.max, number, &problem);
  }
  if (rule.kind == Kind::kFileMode) {
    mode_t mode = 0;
    return ParseConfigFileMode(value, mode, &problem);
  }
  if (value[0] != '/') {
    problem = "'" + value + "' is not an absolute path";
    return false;
  }
  return true;
}

class Parser {
 public:
  explicit Parser(const std::string& fileName) : fileName_(fileName) {}

  void Line(const std::string& raw) {
    ++line_;
    std::string text = Trim(raw);
    if (line_ == 1 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) text = Trim(text.substr(3));
    if (IsBlankOrComment(text)) return;
    if (text[0] == '[')
      Header(text);
    else
      Setting(text);
  }

  ConfigFile Result() { return std::move(result_); }

 private:
  void Warn(const std::string& problem) {
    result_.warnings.push_back(fileName_ + ":" + std::to_string(line_) + ": " + problem);
  }

  // Keys under a header that is not understood belong to no section, so
  // they are skipped rather than taken as the previous section's.
  void Header(const std::string& text) {
    section_ = nullptr;
    skipping_ = true;
    size_t close = text.find(']');
    if (close == std::string::npos || !IsBlankOrComment(text.substr(close + 1))) {
      Warn("'" + text + "' is not a [Section] line; its keys are ignored");
      return;
    }
    std::string name = Trim(text.substr(1, close - 1));
    section_ = FindSection(name);
    if (!section_) {
      Warn("unknown section [" + name + "] (known: " + SectionNames() + "); its keys are ignored");
      return;
    }
    skipping_ = false;
  }

  void Setting(const std::string& text) {
    size_t eq = text.find('=');
    std::string key = eq == std::string::npos ? "" : Trim(text.substr(0, eq));
    if (key.empty()) {
      Warn("'" + text + "' is not a Key = Value line; ignored");
      return;
    }
    if (skipping_) return;  // warned at the header
    if (!section_) {
      Warn(key + " comes before any [Section]; ignored");
      return;
    }
    KeyRule rule;
    if (!FindKey(*section_, key, rule)) {
      Warn("unknown key " + key + " in [" + section_->name + "] (known: " + KeyNames(*section_) +
           "); ignored");
      return;
    }
    const std::string section = section_->name;
    std::string value, problem;
    if (!ParseValue(text.substr(eq + 1), value, problem) || !CheckValue(rule, value, problem)) {
      Warn("[" + section + "] " + key + " " + problem + "; the default applies");
      result_.values.erase({section, key});
      return;
    }
    result_.values[{section, key}] = value;
  }

  const std::string fileName_;
  ConfigFile result_;
  unsigned long line_ = 0;
  const SectionRule* section_ = nullptr;  // null before the first header or after a bad one
  bool skipping_ = false;                 // after a bad header
};

}  // namespace

ConfigFile ParseConfig(const std::string& text, const std::string& fileName) {
  Parser parser(fileName);
  std::istringstream lines(text);
  std::string raw;
  while (std::getline(lines, raw)) parser.Line(raw);
  return parser.Result();
}

bool ParseConfigNumber(const std::string& text, unsigned long max, unsigned long& value,
                       std::string* problem) {
  auto fail = [&](const std::string& why) {
    if (problem) *problem = "'" + text + "' " + why;
    return false;
  };
  const size_t first = !text.empty() && text[0] == '-' ? 1 : 0;
  if (first == text.size() || text.find_first_not_of("0123456789", first) != std::string::npos)
    return fail("is not a decimal number");
  if (first == 1) return fail("is negative");
  const std::string outOfRange = "is out of range (at most " + std::to_string(max) + ")";
  unsigned long v = 0;
  for (char c : text) {
    unsigned long digit = static_cast<unsigned long>(c - '0');
    if (v > (ULONG_MAX - digit) / 10) return fail(outOfRange);
    v = v * 10 + digit;
  }
  if (v > max) return fail(outOfRange);
  value = v;
  return true;
}

bool ParseConfigFileMode(const std::string& text, mode_t& mode, std::string* problem) {
  auto fail = [&](const std::string& why) {
    if (problem) *problem = "'" + text + "' " + why;
    return false;
  };
  if (text.empty() || text.size() > 4 || text.find_first_not_of("01234567") != std::string::npos)
    return fail("is not an octal mode such as 600");
  const mode_t value = static_cast<mode_t>(std::stoul(text, nullptr, 8));
  if ((value & 0600) != 0600 || (value & ~static_cast<mode_t>(0644)) != 0)
    return fail("is not 600, 640 or 644 (the owner reads and writes, others at most read)");
  mode = value;
  return true;
}

}  // namespace cldb
