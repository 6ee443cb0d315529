// The tries of a copy: a failure that waiting may cure is reported, waited
// out and followed by a new run of the copy, up to the number of retries
// the command line allows.
#pragma once

#include "app/copy_job.h"
#include "app/job_settings.h"

namespace ferrux::app {

// Runs the copy, and again after each retriable failure while retries are
// left, each try from nothing: it opens the files by name, reads the size
// file and goes on from its count. Prints each failure's report, then
// "Retry K of N in S s", and waits holding no file, folder, thread or
// buffer. A retry goes on only where the copy was: on the file systems of
// the first try, with the temporary file and size file there once a count
// was stored; else it fails as "not back yet" and waits again. Returns the
// exit status: that of the try that completed, else 1 after the last try's
// report. Main thread.
int RunTries(const Context& context, const JobSettings& settings);

}  // namespace ferrux::app
