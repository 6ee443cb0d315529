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
  FolderSeen source_folder;
  FolderSeen target_folder;
};

// A share that is unmounted leaves its mount point a bare local folder: a
// retry that opened names there would start a fresh copy on the local
// disk. So the folders must be on the file systems they were on.
void CheckWhereTheCopyWas(const Context& context, const JobSettings& s,
                          FirstSeen& seen) {
  const std::string source_folder =
      s.source_name.substr(0, s.source_name.size() - s.base_name.size());
  const struct {
    std::string folder;
    FolderSeen& first;
    const char* moved;
  } folders[] = {{source_folder + ".", seen.source_folder,
                  "Source Folder not on its first file system"},
                 {s.dest_dir + ".", seen.target_folder,
                  "Target Folder not on its first file system"}};
  for (const auto& [folder, first, moved] : folders) {
    const os::Result<os::Platform::Volume> now =
        context.platform.VolumeOf(folder);
    if (!first.looked) {
      first = {true, now.ok() ? std::optional(now.value) : std::nullopt};
    } else if (!StillWhereItWas(first, now)) {
      engine::RaiseException(moved, engine::Cure::kWaiting);
    }
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
    report::ReportFailure(context.console, engine::CurrentFailure());
  }
  return retriable;
}

}  // namespace

bool StillWhereItWas(const FolderSeen& first,
                     const os::Result<os::Platform::Volume>& now) {
  if (!now.ok()) return false;
  if (first.volume) return *first.volume == now.value;
  return now.value.mount_root;
}

int RunTries(const Context& context, const JobSettings& settings) {
  FirstSeen seen;
  EarlierTries earlier;
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
      return RunCopy(context, settings, *files, earlier);
    } catch (...) {
      retry = ReportCurrentFailure(context) && !last;
    }
    earlier.any = true;
    earlier.count_stored =
        earlier.count_stored || files->size_file.stored() > 0;
    if (!retry) {
      // The process ends now: a writer still in the middle of a block is
      // not waited for, as it never was.
      if (files->pipeline.writer_started()) {
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
