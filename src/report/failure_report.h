// The two failure reports: the one the copy run's handler prints, and the
// one for a failure no handler caught (a failure of the writer thread).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/failure.h"
#include "os/platform.h"
#include "report/console_out.h"

namespace ferrux::report {

// "Exception <class>" and, when there is one, the message. Raises
// EInOutError when standard output fails.
void ReportFailure(ConsoleOut& console, const engine::Failure& failure);

// The text of the unhandled-failure report, at most 1023 characters:
// "Exception <class> in module <module> at <offset>.\n<message>[.]".
std::string FormatUnhandledFailure(std::string_view class_name,
                                   std::string_view module_name,
                                   std::uintptr_t offset,
                                   std::string_view message);

// The unhandled-failure report for `failure`, as printed.
std::string UnhandledFailureText(os::Platform& platform,
                                 std::string_view name_separators,
                                 const engine::Failure& failure);

// Prints the unhandled-failure report for `failure` and ends the process
// with exit status 1. Any thread; nothing is printed after it.
[[noreturn]] void ReportUnhandledFailure(ConsoleOut& console,
                                         os::Platform& platform,
                                         std::string_view name_separators,
                                         const engine::Failure& failure);

}  // namespace ferrux::report
