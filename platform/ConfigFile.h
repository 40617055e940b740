// The configuration file's format, and the one list of the sections and keys
// the library reads (see ZelPlatformInfo.h for where the file is found).
//
// Lines, numbered from 1:
//   [Section]           starts a section; a comment may follow it
//   Key = Value         sets Key in the current section
//   # text, ; text      a comment, also indented
// A '#' or ';' that follows whitespace starts a comment that runs to the end
// of the line; elsewhere it belongs to the value. A value wholly enclosed in
// "..." or '...' loses its quotes and may then hold '#' and ';' freely; there
// are no escapes. Names are case-sensitive; a later line of a key replaces an
// earlier one.
//
// Each line that breaks a rule gives one warning, "<file>:<line>: <problem>",
// and changes nothing except that a key with a bad value becomes absent (its
// default applies), never half-read. Rules beyond the syntax: the section and
// the key must be known; numbers are decimal digits only, within the key's
// range; paths are absolute; a file mode is octal, 600, 640 or 644.
//
// The configuration reader uses this with its own file; nothing here is part
// of the library's interface.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace cldb {

struct ConfigFile {
  using Key = std::pair<std::string, std::string>;  // section, key
  std::map<Key, std::string> values;                // every value valid for its key
  std::vector<std::string> warnings;                // in line order
};

// Parses the whole text of a file; `fileName` is the name the warnings give.
ConfigFile ParseConfig(const std::string& text, const std::string& fileName);

// `text` as a number: decimal digits only, at most `max`. On failure returns
// false and, when `problem` is given, says why ("is negative", ...).
bool ParseConfigNumber(const std::string& text, unsigned long max, unsigned long& value,
                       std::string* problem = nullptr);

// `text` as the mode of new files ([CLDB] FileMode): octal digits naming
// 0600, 0640 or 0644, so the owner always reads and writes and no one else
// ever writes. On failure returns false and, when `problem` is given, says
// why.
bool ParseConfigFileMode(const std::string& text, mode_t& mode, std::string* problem = nullptr);

}  // namespace cldb
