// The platform the program runs on: conventions of its names and texts, and
// the Platform implementation built for it (posix/ or win32/ body).
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "os/platform.h"

namespace ferrux::os {

// Textual conventions of the build's platform. The portable logic takes
// them as arguments so that unit tests can exercise every platform's rules.
struct Conventions {
  std::string_view line_end;         // "\n" or "\r\n"
  std::string_view name_separators;  // characters that end a directory part
  char directory_separator;          // appended to a destination directory
  std::string_view program_name;     // as shown in the usage text
  std::size_t max_path_length;       // longest file name the system accepts
};

const Conventions& NativeConventions();

// The one Platform of the process. Created once by main.cpp, before any
// other thread exists; it also sets up process-wide behaviour the program
// relies on (on POSIX: a write to a closed pipe fails instead of killing).
std::unique_ptr<Platform> CreateNativePlatform();

// The command line as one text, where the platform hands it over unsplit
// (Windows); empty where the arguments arrive already split (POSIX argv).
std::optional<std::string> RawCommandLine();

}  // namespace ferrux::os
