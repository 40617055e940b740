// Fitting text into a terminal line. Widths are counted in code points of
// UTF-8: an approximation that counts a wide (East Asian) or combining
// character as one column. Bytes that are not valid UTF-8 count one column
// each and are never split from the bytes that continue them.
#pragma once

#include <cstddef>
#include <string>

namespace cldb {

// Columns `text` takes, by the approximation above.
size_t DisplayWidth(const std::string& text);

// `text` when it fits in `columns`; else its start and end around "…"
// (one column), cut between characters, at most `columns` wide: "" for 0
// columns, "…" for 1.
std::string FitToWidth(const std::string& text, size_t columns);

// `text` with each control character (line breaks and escapes included)
// replaced by '?', so that it prints as one line and cannot drive the
// terminal.
std::string Printable(std::string text);

}  // namespace cldb
