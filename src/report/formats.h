// Number and duration texts of the console reports.
#pragma once

#include <cstdint>
#include <string>

namespace ferrux::report {

// The decimal digits of `value`, with "0"s in front up to `width`.
std::string PadZeros(std::uint32_t value, std::uint8_t width);

// "hh:mm:ss", with "<days>d " in front when the duration reaches a day;
// `separator` stands between the fields.
std::string FormatDuration(std::uint32_t seconds, char separator);

}  // namespace ferrux::report
