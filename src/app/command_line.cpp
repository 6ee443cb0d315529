// The command line: splitting, block-size rules, and JobSettings.
#include "app/command_line.h"

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

}  // namespace

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

std::optional<JobSettings> ParseCommandLine(
    const std::vector<std::string>& arguments, os::Platform& platform,
    const os::Conventions& conventions, report::ConsoleOut& console) {
  if (arguments.empty()) {
    console.PrintLine({conventions.program_name,
                       " [/O] SourceFile [DestinationDir [BufferSize]]"});
    console.PrintLine({" /O - use ordinary copy (without resume file)"});
    return std::nullopt;
  }
  const auto argument = [&](std::size_t i) {
    return i < arguments.size() ? arguments[i] : std::string();
  };
  const LeadBytePredicate lead_byte = [&platform](unsigned char c) {
    return platform.IsLeadByte(c);
  };
  JobSettings settings;
  settings.ordinary_mode = arguments[0] == "/O" || arguments[0] == "/o";
  const std::size_t k = settings.ordinary_mode ? 1 : 0;
  settings.source_name = argument(k);
  console.PrintLine(
      {"Source File: ", '"', platform.ToOem(settings.source_name), '"'});
  settings.dest_dir =
      DirectoryWithSeparator(argument(k + 1), conventions.directory_separator,
                             conventions.name_separators, lead_byte);
  settings.buffer_size =
      ParseBufferSize(argument(k + 2), platform.IsNtFamily());
  settings.base_name =
      BaseNameOf(settings.source_name, conventions.name_separators, lead_byte);
  return settings;
}

}  // namespace ferrux::app
