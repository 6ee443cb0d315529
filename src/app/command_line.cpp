// The command line: splitting, block-size rules, and JobSettings.
#include "app/command_line.h"

#include <algorithm>
#include <iterator>

namespace ferrux::app {
namespace {

bool IsSeparatorChar(unsigned char c) { return c >= 1 && c <= 32; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The 32-bit pattern of a hexadecimal number without prefix, if all of
// `digits` are hexadecimal and the value fits in 32 bits.
std::optional<std::uint32_t> ReadHex(std::string_view digits) {
  if (digits.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : digits) {
    const int digit = HexValue(c);
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<std::uint64_t>(digit);
    if (value > 0xFFFFFFFFu) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

// A signed decimal number in the 32-bit range, as its 32-bit pattern.
std::optional<std::uint32_t> ReadDecimal(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  std::uint64_t magnitude = 0;
  for (const char c : text) {
    if (!IsDigit(c)) return std::nullopt;
    magnitude = magnitude * 10 + static_cast<std::uint64_t>(c - '0');
    if (magnitude > 2147483648u) return std::nullopt;
  }
  if (!negative && magnitude > 2147483647u) return std::nullopt;
  const std::uint64_t pattern = negative ? (~magnitude + 1) : magnitude;
  return static_cast<std::uint32_t>(pattern & 0xFFFFFFFFu);
}

std::optional<std::uint32_t> ReadInteger(std::string_view text) {
  while (!text.empty() && text[0] == ' ') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  if (text[0] == '$' || text[0] == 'x' || text[0] == 'X') {
    return ReadHex(text.substr(1));
  }
  if (text.size() >= 2 && text[0] == '0' &&
      (text[1] == 'x' || text[1] == 'X')) {
    return ReadHex(text.substr(2));
  }
  return ReadDecimal(text);
}

// Index of the first byte of the last character, or npos for "".
std::size_t LastCharacterAt(std::string_view text,
                            const LeadBytePredicate& lead_byte) {
  std::size_t last = std::string_view::npos;
  std::size_t i = 0;
  while (i < text.size()) {
    last = i;
    const bool pair =
        lead_byte(static_cast<unsigned char>(text[i])) && i + 1 < text.size();
    i += pair ? 2 : 1;
  }
  return last;
}

// The leading switches, one row each: the short form "/N" (either case of
// its letters) or "/N:value", the long form "--name" or "--name=value",
// the kind of its value and its largest, what stands for it in the usage
// text, its line there, what a malformed value is told it should be, and
// what it sets.
enum class Value { kNone, kNumber, kRate };
struct SwitchRow {
  std::string_view short_name;
  std::string_view long_name;
  Value value;
  std::uint64_t max_value;
  std::string_view placeholder;
  std::string_view usage;
  void (*apply)(JobSettings& settings, std::uint64_t value);
};

// A rate in bytes per second: up to 1024 GiB/s.
constexpr std::uint64_t kMaxRate = std::uint64_t{1} << 40;

constexpr SwitchRow kSwitches[] = {
    {"O", "--ordinary", Value::kNone, 0, "",
     " /O - use ordinary copy (without resume file)",
     [](JobSettings& s, std::uint64_t) { s.ordinary_mode = true; }},
    {"R", "--retries", Value::kNumber, 1000000, "n",
     " /R:n - retry a failed copy up to n times (0 to 1000000, default 0)",
     [](JobSettings& s, std::uint64_t n) {
       s.retries = static_cast<std::uint32_t>(n);
     }},
    {"W", "--wait", Value::kNumber, 86400, "s",
     " /W:s - wait s seconds before each retry (0 to 86400, default 30)",
     [](JobSettings& s, std::uint64_t n) {
       s.wait_seconds = static_cast<std::uint32_t>(n);
     }},
    {"V", "--verify", Value::kNone, 0, "",
     " /V - verify: read the copy back uncached and compare it with the "
     "source",
     [](JobSettings& s, std::uint64_t) { s.verify = true; }},
    {"BW", "--bwlimit", Value::kRate, kMaxRate, "rate",
     " /BW:rate - hold the average rate to rate bytes per second (suffix K, "
     "M, G: KiB, MiB, GiB; 0, no limit)",
     [](JobSettings& s, std::uint64_t n) { s.rate_limit = n; }},
    {"BG", "--background", Value::kNone, 0, "",
     " /BG - background mode: the lowest CPU and I/O priority",
     [](JobSettings& s, std::uint64_t) { s.background = true; }},
};

struct SwitchMatch {
  std::size_t row;
  std::string_view value;  // after ":" or "="; for a flag, empty
};

bool SameLetters(std::string_view text, std::string_view upper) {
  return text.size() == upper.size() &&
         std::equal(
             text.begin(), text.end(), upper.begin(),
             [](char c, char u) { return c == u || c == u - 'A' + 'a'; });
}

// The row an argument is a form of, whatever its value; nothing for an
// argument that is no switch (the source name).
std::optional<SwitchMatch> MatchSwitch(std::string_view argument) {
  for (std::size_t row = 0; row < std::size(kSwitches); ++row) {
    const SwitchRow& s = kSwitches[row];
    const bool valued = s.value != Value::kNone;
    if (argument == s.long_name) return SwitchMatch{row, {}};
    if (valued && argument.starts_with(s.long_name) &&
        argument.size() > s.long_name.size() &&
        argument[s.long_name.size()] == '=') {
      return SwitchMatch{row, argument.substr(s.long_name.size() + 1)};
    }
    if (argument.empty() || argument[0] != '/') continue;
    const std::string_view rest = argument.substr(1);
    const std::size_t colon = rest.find(':');
    if (!SameLetters(rest.substr(0, colon), s.short_name)) continue;
    if (colon == std::string_view::npos) return SwitchMatch{row, {}};
    if (valued) return SwitchMatch{row, rest.substr(colon + 1)};
  }
  return std::nullopt;
}

// A switch's value: decimal digits, for a rate with one of the suffixes
// K, M or G (either case, powers of 1024), at most `max`.
std::optional<std::uint64_t> ReadSwitchValue(std::string_view text, Value kind,
                                             std::uint64_t max) {
  std::uint64_t unit = 1;
  if (kind == Value::kRate && !text.empty()) {
    const std::string_view suffixes = "kKmMgG";
    const std::size_t at = suffixes.find(text.back());
    if (at != std::string_view::npos) {
      unit = std::uint64_t{1} << (10 * (at / 2 + 1));
      text.remove_suffix(1);
    }
  }
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (!IsDigit(c)) return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > max / unit) return std::nullopt;
  }
  return value * unit;
}

// The two lines of old first, then one line per later switch.
void PrintUsage(report::ConsoleOut& console,
                const os::Conventions& conventions) {
  console.PrintLine({conventions.program_name,
                     " [/O] SourceFile [DestinationDir [BufferSize]]"});
  std::string long_forms;
  for (const SwitchRow& s : kSwitches) {
    console.PrintLine({s.usage});
    if (!long_forms.empty()) long_forms += ", ";
    long_forms += s.long_name;
    if (s.value != Value::kNone) (long_forms += '=') += s.placeholder;
  }
  console.PrintLine({" ", long_forms, " - the same switches, long forms"});
  console.PrintLine({" -- - ends the switches: SourceFile follows"});
  console.PrintLine({" --help, /? - print this text"});
  console.PrintLine({" --version - print the program's version"});
}

}  // namespace

LeadingSwitches ReadSwitches(const std::vector<std::string>& arguments,
                             JobSettings& settings) {
  bool seen[std::size(kSwitches)] = {};
  for (std::size_t k = 0; k < arguments.size(); ++k) {
    const std::string& argument = arguments[k];
    if (argument == "--") return {k + 1, {}};
    const std::optional<SwitchMatch> match = MatchSwitch(argument);
    if (!match) return {k, {}};
    const SwitchRow& row = kSwitches[match->row];
    const std::optional<std::uint64_t> value =
        row.value == Value::kNone
            ? std::optional<std::uint64_t>(0)
            : ReadSwitchValue(match->value, row.value, row.max_value);
    if (seen[match->row]) return {k, "Switch given twice: " + argument};
    if (!value && row.value == Value::kRate) {
      return {k, "Bad switch " + argument +
                     ": a rate from 0 to 1024G bytes per second is needed"};
    }
    if (!value) {
      return {k, "Bad switch " + argument + ": a number from 0 to " +
                     std::to_string(row.max_value) + " is needed"};
    }
    seen[match->row] = true;
    row.apply(settings, *value);
  }
  return {arguments.size(), {}};
}

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> arguments;
  std::size_t p = 0;
  const auto at = [&](std::size_t i) {
    return static_cast<unsigned char>(line[i]);
  };
  for (;;) {
    for (;;) {
      while (p < line.size() && IsSeparatorChar(at(p))) ++p;
      if (p + 1 < line.size() && line[p] == '"' && line[p + 1] == '"') {
        p += 2;
      } else {
        break;
      }
    }
    std::string argument;
    bool quoted = false;
    while (p < line.size() && at(p) != 0 && (quoted || at(p) > 32)) {
      if (line[p] == '"') {
        quoted = !quoted;
      } else {
        argument.push_back(line[p]);
      }
      ++p;
    }
    if (argument.empty()) break;
    arguments.push_back(std::move(argument));
  }
  return arguments;
}

std::uint32_t FloorPowerOfTwo(std::uint32_t value) {
  int shifts = 0;
  while (value != 0) {
    value >>= 1;
    ++shifts;
  }
  return shifts == 0 ? 1u : (1u << (shifts - 1));
}

std::uint32_t ParseBufferSize(std::string_view text, bool nt_family) {
  const std::optional<std::uint32_t> asked = ReadInteger(text);
  if (!asked) return nt_family ? 2097152u : 65536u;
  // A negative number arrives here as a very large unsigned value.
  if (*asked > kMaxBufferSize) return kMaxBufferSize;
  if (*asked < kMinBufferSize) return kMinBufferSize;
  return FloorPowerOfTwo(*asked);
}

std::string BaseNameOf(std::string_view name, std::string_view separators,
                       const LeadBytePredicate& lead_byte) {
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < name.size()) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (lead_byte(c) && i + 1 < name.size()) {
      i += 2;  // the trail byte may look like a separator but is not one
      continue;
    }
    if (separators.find(static_cast<char>(c)) != std::string_view::npos) {
      start = i + 1;
    }
    ++i;
  }
  return std::string(name.substr(start));
}

std::string DirectoryWithSeparator(std::string_view directory, char separator,
                                   std::string_view separators,
                                   const LeadBytePredicate& lead_byte) {
  std::string result(directory);
  if (result.empty()) return result;
  const std::size_t last = LastCharacterAt(directory, lead_byte);
  const bool ends_in_separator =
      last + 1 == directory.size() &&
      separators.find(directory[last]) != std::string_view::npos;
  if (!ends_in_separator) result.push_back(separator);
  return result;
}

CommandLine ParseCommandLine(const std::vector<std::string>& arguments,
                             os::Platform& platform,
                             const os::Conventions& conventions,
                             report::ConsoleOut& console) {
  const std::string_view sole =
      arguments.size() == 1 ? std::string_view(arguments[0]) : "";
  if (arguments.empty() || sole == "--help" || sole == "/?") {
    PrintUsage(console, conventions);
    return {};
  }
  if (sole == "--version") {
    console.PrintLine({"ferrux ", FERRUX_VERSION});
    return {};
  }
  JobSettings settings;
  const LeadingSwitches switches = ReadSwitches(arguments, settings);
  if (!switches.error.empty()) {
    console.PrintLine({switches.error});
    return {std::nullopt, 1};
  }
  const std::size_t k = switches.source_at;
  const auto argument = [&](std::size_t i) {
    return i < arguments.size() ? arguments[i] : std::string();
  };
  const LeadBytePredicate lead_byte = [&platform](unsigned char c) {
    return platform.IsLeadByte(c);
  };
  settings.source_name = argument(k);
  console.PrintLine({"Source File: ", '"', settings.source_name, '"'});
  settings.dest_dir =
      DirectoryWithSeparator(argument(k + 1), conventions.directory_separator,
                             conventions.name_separators, lead_byte);
  settings.buffer_size =
      ParseBufferSize(argument(k + 2), platform.IsNtFamily());
  settings.base_name =
      BaseNameOf(settings.source_name, conventions.name_separators, lead_byte);
  return {settings, 0};
}

}  // namespace ferrux::app
