// The command line: splitting a raw command line into arguments, reading
// the arguments into JobSettings, and the block-size rules.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/job_settings.h"
#include "os/native_platform.h"
#include "os/platform.h"
#include "report/console_out.h"

namespace ferrux::app {

inline constexpr std::uint32_t kMinBufferSize = 4096;
inline constexpr std::uint32_t kMaxBufferSize = 16777216;

// Whether a byte opens a double-byte character (its next byte is never a
// separator).
using LeadBytePredicate = std::function<bool(unsigned char)>;

// Splits a whole command line, program name first. Characters 1 to 32
// separate arguments; double quotes group and are dropped; pairs of quotes
// at the start of an argument are skipped; there is no escape character.
// Splitting stops at the first empty argument.
std::vector<std::string> SplitCommandLine(std::string_view line);

// The largest power of two not above `value`; 1 for 0 and 1.
std::uint32_t FloorPowerOfTwo(std::uint32_t value);

// The block size an argument asks for: a decimal or hexadecimal 32-bit
// number, limited to 4096..16777216 and rounded down to a power of two. Any
// other text gives the default (2097152, or 65536 outside the NT family).
std::uint32_t ParseBufferSize(std::string_view text, bool nt_family);

// The part of `name` after its last separator, honouring double-byte
// characters.
std::string BaseNameOf(std::string_view name, std::string_view separators,
                       const LeadBytePredicate& lead_byte);

// `directory` with `separator` appended when it is not empty and does not
// already end in one of `separators` ("D:" stays "D:", the current folder
// of drive D:).
std::string DirectoryWithSeparator(std::string_view directory, char separator,
                                   std::string_view separators,
                                   const LeadBytePredicate& lead_byte);

// Reads the arguments (program name excluded) into JobSettings and echoes
// the source name. With no arguments, prints the usage text and returns
// nothing. Raises EInOutError when printing fails.
std::optional<JobSettings> ParseCommandLine(
    const std::vector<std::string>& arguments, os::Platform& platform,
    const os::Conventions& conventions, report::ConsoleOut& console);

}  // namespace ferrux::app
