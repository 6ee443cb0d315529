// The tries of a copy: a failure that waiting may cure is reported, waited
// out and followed by a new run of the copy, up to the number of retries
// the command line allows.
#pragma once

#include <optional>

#include "app/copy_job.h"
#include "app/job_settings.h"
#include "os/platform.h"

namespace ferrux::app {

// What the first try found of a folder the copy reads or writes: its file
// system, or that it answered no look at all.
struct FolderSeen {
  bool looked = false;
  std::optional<os::Platform::Volume> volume;
};

// Whether a retry may use the folder, now on `now`: on the very file
// system the first try found (a mount point again where it was one); where
// the first look found nothing, which only a share's dead mount point
// does, a mount point again.
bool StillWhereItWas(const FolderSeen& first,
                     const os::Result<os::Platform::Volume>& now);

// Runs the copy, and again after each retriable failure while retries are
// left, each try from nothing: it opens the files by name, reads the size
// file and goes on from its count. Prints each failure's report, then
// "Retry K of N in S s", and waits holding no file, folder, thread or
// buffer. A retry goes on only where the copy was: on the file systems of
// the first try, with the temporary file and size file there once a count
// was stored, unless the copy bears its final name by then; else it fails
// as "not back yet" and waits again. Returns the
// exit status: that of the try that completed, else 1 after the last try's
// report. Main thread.
int RunTries(const Context& context, const JobSettings& settings);

}  // namespace ferrux::app
