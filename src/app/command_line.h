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

// Reads the leading switches of `arguments` into `settings`: "/O", "/R:n",
// "/W:s" (either case of the letter), "--ordinary", "--retries=n",
// "--wait=s", each at most once, in any order, "--" ending them. Gives the
// index of the source name, or the line that says which switch is
// malformed or repeated.
struct LeadingSwitches {
  std::size_t source_at = 0;
  std::string error;  // empty when every switch was read
};
LeadingSwitches ReadSwitches(const std::vector<std::string>& arguments,
                             JobSettings& settings);

// What the arguments ask for: a copy with its settings, or none, the
// process then ending with `exit_status` (0 after the usage text or the
// version, 1 after a malformed switch).
struct CommandLine {
  std::optional<JobSettings> settings;
  int exit_status = 0;
};

// Reads the arguments (program name excluded) into JobSettings and echoes
// the source name. Leading switches, in any order and each at most once,
// come before the source name; "--" ends them. With no arguments, or
// "--help" or "/?" alone, prints the usage text; with "--version" alone,
// the version; with a malformed switch, one line naming it. Raises
// EInOutError when printing fails.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments,
                             os::Platform& platform,
                             const os::Conventions& conventions,
                             report::ConsoleOut& console);

}  // namespace ferrux::app
