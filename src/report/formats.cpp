// Number and duration texts of the console reports.
#include "report/formats.h"

namespace ferrux::report {

std::string PadZeros(std::uint32_t value, std::uint8_t width) {
  std::string text = std::to_string(value);
  if (text.size() < width) text.insert(0, width - text.size(), '0');
  return text;
}

std::string FormatDuration(std::uint32_t seconds, char separator) {
  const std::uint32_t days = seconds / 86400;
  std::uint32_t rest = seconds % 86400;
  const std::uint32_t hours = rest / 3600;
  rest %= 3600;
  std::string text = PadZeros(hours, 2) + separator + PadZeros(rest / 60, 2) +
                     separator + PadZeros(rest % 60, 2);
  if (days != 0) text.insert(0, std::to_string(days) + "d ");
  return text;
}

}  // namespace ferrux::report
