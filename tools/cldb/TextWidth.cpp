#include "TextWidth.h"

#include <vector>

namespace cldb {
namespace {

const char kEllipsis[] = "\xE2\x80\xA6";  // U+2026

bool Continues(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Byte offsets at which the characters of `text` start; a run of
// continuation bytes at the very start counts as one character.
std::vector<size_t> Starts(const std::string& text) {
  std::vector<size_t> starts;
  for (size_t i = 0; i < text.size(); ++i)
    if (i == 0 || !Continues(static_cast<unsigned char>(text[i]))) starts.push_back(i);
  return starts;
}

}  // namespace

size_t DisplayWidth(const std::string& text) { return Starts(text).size(); }

std::string FitToWidth(const std::string& text, size_t columns) {
  const std::vector<size_t> starts = Starts(text);
  if (starts.size() <= columns) return text;
  if (columns == 0) return "";
  const size_t kept = columns - 1;  // besides the ellipsis
  const size_t tail = kept / 2;
  const size_t head = kept - tail;
  const size_t end = tail == 0 ? text.size() : starts[starts.size() - tail];
  return text.substr(0, starts[head]) + kEllipsis + text.substr(end);
}

std::string Printable(std::string text) {
  for (char& c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
  return text;
}

}  // namespace cldb
