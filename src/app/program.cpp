// The program from its arguments to its exit status, with the one failure
// handler around the whole run.
#include "app/program.h"

#include "app/command_line.h"
#include "app/copy_job.h"
#include "app/retry.h"
#include "engine/failure.h"
#include "report/failure_report.h"

namespace ferrux::app {
namespace {

int RunJob(os::Platform& platform, const os::Conventions& conventions,
           report::ConsoleOut& console,
           const std::vector<std::string>& arguments) {
  const char separator = platform.TimeSeparator();
  const CommandLine command_line =
      ParseCommandLine(arguments, platform, conventions, console);
  if (!command_line.settings) return command_line.exit_status;
  const JobSettings& settings = *command_line.settings;
  // Where the system refuses, the copy goes on at the priority it has.
  if (settings.background && !platform.EnterBackgroundMode().ok()) {
    console.PrintLine({"Background Mode not set"});
  }
  const Context context{platform, conventions, console, separator};
  return RunTries(context, settings);
}

void Report(report::ConsoleOut& console, const engine::Failure& failure) {
  try {
    report::ReportFailure(console, failure);
  } catch (const engine::Failure&) {
    // Standard output itself is what failed; the exit status still tells.
  }
}

}  // namespace

int RunProgram(os::Platform& platform, const os::Conventions& conventions,
               report::ConsoleOut& console,
               const std::vector<std::string>& arguments) {
  // Nothing is deleted or renamed on a failure: the temporary
  // target and the size file stay as the last checkpoint left them, so the
  // next run with the same arguments resumes.
  try {
    return RunJob(platform, conventions, console, arguments);
  } catch (...) {
    Report(console, engine::CurrentFailure());
  }
  return kExitFailure;
}

}  // namespace ferrux::app
