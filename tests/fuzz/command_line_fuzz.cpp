// Fuzz target: splitting a raw command line, reading the leading switches
// and block sizes: whatever the text, a block size is a power of two within
// the limits (the unit table holds the forms and their values).
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>

#include "app/command_line.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> arguments =
      ferrux::app::SplitCommandLine(text);
  for (const std::string& argument : arguments) {
    Check(!argument.empty());
    Check(argument.find('"') == std::string::npos);
    const std::uint32_t block = ferrux::app::ParseBufferSize(argument, true);
    Check(std::has_single_bit(block) && block >= 4096 && block <= 16777216);
  }
  // Switches stop at the first argument that is none of their forms, or
  // after "--"; a bad one is named; values stay within their ranges. A
  // quoted value may hold any byte, a line feed too.
  static const std::regex form(
      "/[oOvV]|/[bB][gG]|/([rRwW]|[bB][wW])(:[\\s\\S]*)?|--ordinary|--verify|"
      "--background|--(retries|wait|bwlimit)(=[\\s\\S]*)?");
  ferrux::app::JobSettings settings;
  const auto read = ferrux::app::ReadSwitches(arguments, settings);
  const std::size_t at = read.source_at;
  Check(at <= arguments.size());
  Check(settings.retries <= 1000000 && settings.wait_seconds <= 86400 &&
        settings.rate_limit <= (std::uint64_t{1} << 40));
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
