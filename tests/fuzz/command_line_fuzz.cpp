// Fuzz target: splitting a raw command line and reading block sizes, the
// latter checked against a small independent model of the accepted forms.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>

#include "app/command_line.h"

namespace {

// What a block-size argument means, written from the rules, not the code.
std::uint32_t ModelBufferSize(std::string text) {
  constexpr std::uint32_t kDefault = 2097152;
  const auto start = text.find_first_not_of(' ');
  text = start == std::string::npos ? "" : text.substr(start);
  static const std::regex decimal("[+-]?[0-9]+");
  static const std::regex hex("(\\$|x|X|0x|0X)([0-9a-fA-F]+)");
  std::smatch parts;
  std::uint32_t value;
  if (std::regex_match(text, decimal)) {
    std::string digits = text.substr(text[0] == '+' || text[0] == '-');
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
    if (digits.size() > 12) return kDefault;
    long long number = std::stoll(digits);
    if (text[0] == '-') number = -number;
    if (number < INT32_MIN || number > INT32_MAX) return kDefault;
    value = static_cast<std::uint32_t>(static_cast<std::int32_t>(number));
  } else if (std::regex_match(text, parts, hex)) {
    const std::string digits = parts[2].str();
    const auto first = digits.find_first_not_of('0');
    if (first != std::string::npos && digits.size() - first > 8) {
      return kDefault;
    }
    value = static_cast<std::uint32_t>(std::stoull(digits, nullptr, 16));
  } else {
    return kDefault;
  }
  if (value > 16777216u) return 16777216u;
  if (value < 4096u) return 4096u;
  return std::bit_floor(value);
}

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Check(ferrux::app::ParseBufferSize(text, true) == ModelBufferSize(text));
  for (const std::string& argument : ferrux::app::SplitCommandLine(text)) {
    Check(!argument.empty());
    Check(argument.find('"') == std::string::npos);
    Check(ferrux::app::ParseBufferSize(argument, true) ==
          ModelBufferSize(argument));
  }
  return 0;
}
