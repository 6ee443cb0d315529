// The tries of a copy and what a retry checks before it goes on.
#include "app/retry.h"

#include <memory>
#include <optional>

#include "app/program.h"
#include "engine/failure.h"
#include "engine/retriable.h"
#include "report/failure_report.h"

namespace ferrux::app {
namespace {

// What the first try found, for the retries to compare with.
struct FirstSeen {
  std::optional<std::uint64_t> source_file_system;
  std::optional<std::uint64_t> target_file_system;
  bool count_stored = false;
};

// A share that is unmounted leaves its mount point a bare local folder: a
// retry that opened names there would start a fresh copy on the local
// disk. So the folders must be on the file systems they were on, and the
// files a stored count speaks of must be there. The first look that
// succeeds is what later ones are compared with.
void CheckWhereTheCopyWas(const Context& context, const JobSettings& s,
                          FirstSeen& seen) {
  os::Platform& platform = context.platform;
  const std::string source_folder =
      s.source_name.substr(0, s.source_name.size() - s.base_name.size());
  const struct {
    std::string folder;
    std::optional<std::uint64_t>& first;
    const char* missing;
  } folders[] = {{source_folder + ".", seen.source_file_system,
                  "Source Folder not on its first file system"},
                 {s.dest_dir + ".", seen.target_file_system,
                  "Target Folder not on its first file system"}};
  for (const auto& [folder, first, missing] : folders) {
    const os::Result<std::uint64_t> now = platform.FileSystemOf(folder);
    if (!first) {
      if (now.ok()) first = now.value;
    } else if (!now.ok() || now.value != *first) {
      engine::RaiseNotBackYet(missing);
    }
  }
  if (seen.count_stored && (!platform.LookUp(s.TempTargetName()).ok() ||
                            !platform.LookUp(s.SizeFileName()).ok())) {
    engine::RaiseNotBackYet("Temporary Target File or Size File missing");
  }
}

// Prints the report of the failure in flight, the writer thread's as that
// thread would; returns whether waiting may cure it. Only inside a catch
// block.
bool ReportCurrentFailure(const Context& context) {
  const bool retriable = engine::CurrentFailureRetriable();
  try {
    throw;
  } catch (const engine::WriterFailed& failed) {
    try {
      std::rethrow_exception(failed.failure);
    } catch (...) {
      context.console.PrintLine({report::UnhandledFailureText(
          context.platform, context.conventions.name_separators,
          engine::CurrentFailure())});
    }
  } catch (...) {
    report::ReportFailure(context.console, context.platform,
                          engine::CurrentFailure());
  }
  return retriable;
}

}  // namespace

int RunTries(const Context& context, const JobSettings& settings) {
  FirstSeen seen;
  for (std::uint32_t tried = 0;; ++tried) {
    const bool last = tried == settings.retries;
    // Where no retry can follow, a failed write ends the process from the
    // writer thread, as a run without retries always has.
    auto files = std::make_unique<CopyFiles>(
        context, last ? engine::OnWriterFailure::kEndProcess
                      : engine::OnWriterFailure::kHandBack);
    bool retry = false;
    try {
      if (settings.retries > 0) CheckWhereTheCopyWas(context, settings, seen);
      return RunCopy(context, settings, *files);
    } catch (...) {
      retry = ReportCurrentFailure(context) && !last;
    }
    seen.count_stored = seen.count_stored || files->size_file.stored() > 0;
    if (!retry) {
      // The process ends now: a writer still in the middle of a block is
      // not waited for, as it never was.
      if (files->writer.started()) {
        (void)files.release();  // kept for the writer: deliberately never freed
      }
      return kExitFailure;
    }
    // Everything the try held goes before the line says the wait begins
    // (closing a source with reads in flight waits for them).
    files.reset();
    context.platform.ForgetFolders();
    context.console.PrintLine({"Retry ", report::Number{tried + 1}, " of ",
                               report::Number{settings.retries}, " in ",
                               report::Number{settings.wait_seconds}, " s"});
    context.console.WriteOut();
    context.platform.Sleep(settings.wait_seconds * 1000);
  }
}

}  // namespace ferrux::app
