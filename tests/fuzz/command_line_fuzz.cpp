// Fuzz target: splitting a raw command line, reading the leading switches
// and block sizes, the latter checked against a small independent model of
// the accepted forms.
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
  const std::vector<std::string> arguments =
      ferrux::app::SplitCommandLine(text);
  for (const std::string& argument : arguments) {
    Check(!argument.empty());
    Check(argument.find('"') == std::string::npos);
    Check(ferrux::app::ParseBufferSize(argument, true) ==
          ModelBufferSize(argument));
  }
  // Switches stop at the first argument that is none of their forms, or
  // after "--"; a bad one is named; values stay within their ranges. A
  // quoted value may hold any byte, a line feed too.
  static const std::regex form(
      "/[oOvV]|/"
      "[rRwW](:[\\s\\S]*)?|--ordinary|--verify|--(retries|wait)(=[\\s\\S]*)?");
  ferrux::app::JobSettings settings;
  const auto read = ferrux::app::ReadSwitches(arguments, settings);
  const std::size_t at = read.source_at;
  Check(at <= arguments.size());
  Check(settings.retries <= 1000000 && settings.wait_seconds <= 86400);
  const bool ended = at > 0 && arguments[at - 1] == "--";
  for (std::size_t i = 0; i + (ended ? 1 : 0) < at; ++i) {
    Check(std::regex_match(arguments[i], form));
  }
  if (!read.error.empty()) {
    Check(at < arguments.size() && std::regex_match(arguments[at], form));
    Check(read.error.find(arguments[at]) != std::string::npos);
  } else if (!ended && at < arguments.size()) {
    Check(!std::regex_match(arguments[at], form) && arguments[at] != "--");
  }
  return 0;
}
