#include "Format.h"

#include <cstdio>
#include <ctime>

namespace fmt {

std::string Count(uint64_t value) {
  std::string digits = std::to_string(value);
  std::string out;
  const size_t n = digits.size();
  for (size_t i = 0; i < n; ++i) {
    if (i > 0 && (n - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string Bytes(uint64_t value) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (value < 1024) return std::to_string(value) + " B";
  double scaled = static_cast<double>(value);
  int unit = 0;
  while (scaled >= 1024.0 && unit < 6) {
    scaled /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f %s", scaled, kUnits[unit]);
  return text;
}

std::string Time(uint32_t epochSeconds) {
  if (epochSeconds == 0) return "never";
  const time_t t = epochSeconds;
  struct tm local {};
  localtime_r(&t, &local);
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

double MebibytesPerSecond(uint64_t bytes, double seconds) {
  return seconds > 0 ? static_cast<double>(bytes) / (1024.0 * 1024.0) / seconds : 0.0;
}

std::string Elapsed(double seconds) {
  const unsigned long total = seconds > 0 ? static_cast<unsigned long>(seconds) : 0;
  char text[32];
  if (total >= 3600)
    std::snprintf(text, sizeof(text), "%lu:%02lu:%02lu", total / 3600, total / 60 % 60, total % 60);
  else
    std::snprintf(text, sizeof(text), "%lu:%02lu", total / 60, total % 60);
  return text;
}

}  // namespace fmt
