// The program from its arguments to its exit status, with the one failure
// handler around the whole run.
#include "app/program.h"

#include <memory>

#include "app/command_line.h"
#include "app/copy_job.h"
#include "engine/failure.h"
#include "report/failure_report.h"

namespace ferrux::app {
namespace {

int RunJob(os::Platform& platform, const os::Conventions& conventions,
           report::ConsoleOut& console,
           const std::vector<std::string>& arguments) {
  const char separator = platform.TimeSeparator();
  std::optional<JobSettings> settings =
      ParseCommandLine(arguments, platform, conventions, console);
  if (!settings) return kExitSuccess;
  const Context context{platform, conventions, console, separator};
  auto files = std::make_unique<CopyFiles>(context);
  // Once the writer has started, the files are never freed: after a
  // failure the writer may be in the middle of a block, and the process
  // ends soon anyway.
  struct KeepForWriter {
    std::unique_ptr<CopyFiles>& files;
    ~KeepForWriter() {
      if (files->writer.started()) (void)files.release();
    }
  } keep{files};
  return RunCopy(context, *settings, *files);
}

void Report(report::ConsoleOut& console, os::Platform& platform,
            const engine::Failure& failure) {
  try {
    report::ReportFailure(console, platform, failure);
  } catch (const engine::Failure&) {
    // Standard output itself is what failed; the exit status still tells.
  }
}

}  // namespace

int RunProgram(os::Platform& platform, const os::Conventions& conventions,
               report::ConsoleOut& console,
               const std::vector<std::string>& arguments) {
  // Nothing is closed, deleted or renamed on a failure: the temporary
  // target and the size file stay as the last checkpoint left them, so the
  // next run with the same arguments resumes.
  try {
    return RunJob(platform, conventions, console, arguments);
  } catch (...) {
    Report(console, platform, engine::CurrentFailure());
  }
  return kExitFailure;
}

}  // namespace ferrux::app
