// Number and time formatting for the tool's human output.
#pragma once

#include <cstdint>
#include <string>

namespace fmt {

// 1234567 -> "1,234,567".
std::string Count(uint64_t value);
// Binary units with one decimal: "512 B", "1.5 KiB", "3.2 GiB".
std::string Bytes(uint64_t value);
// Seconds since the epoch as local "YYYY-MM-DD HH:MM:SS"; "never" for 0.
std::string Time(uint32_t epochSeconds);
// A rate in MiB per second: the human output uses binary units throughout.
double MebibytesPerSecond(uint64_t bytes, double seconds);
// "0:07", "12:34", "1:02:03".
std::string Elapsed(double seconds);

}  // namespace fmt
