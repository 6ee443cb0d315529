// The program from its arguments to its exit status.
#pragma once

#include <string>
#include <vector>

#include "os/native_platform.h"
#include "os/platform.h"
#include "report/console_out.h"

namespace ferrux::app {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;

// Runs the program on `arguments` (program name excluded) and returns the
// exit status: 0 after the usage text and after a completed copy, 1 after a
// reported failure or a copy left under its temporary name. The caller
// closes `console` and ends the process; a writer thread may still exist.
int RunProgram(os::Platform& platform, const os::Conventions& conventions,
               report::ConsoleOut& console,
               const std::vector<std::string>& arguments);

}  // namespace ferrux::app
