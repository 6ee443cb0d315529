// CopyJob: the state of the one copy a run performs, and the two stages
// that move its data (the copy run and the bulk transfer loop).
#pragma once

#include <cstdint>

#include "app/job_settings.h"
#include "app/program.h"
#include "engine/background_writer.h"
#include "engine/file_channel.h"
#include "os/native_platform.h"
#include "os/platform.h"
#include "report/console_out.h"
#include "resume/size_file.h"

namespace ferrux::app {

// Milliseconds between two checkpoints and progress rows.
inline constexpr std::uint32_t kReportInterval = 10000;

// Byte counts of the copy, all from the start of the file.
struct TransferCounters {
  std::int64_t source_size = 0;
  std::int64_t copied = 0;         // read and handed on (includes earlier runs)
  std::int64_t copy_delta = 0;     // read since the last progress row
  std::int64_t rest_at_start = 0;  // what the bulk loop had to move
  std::int64_t bytes_per_sec = 0;  // rate of the last row's interval
};

struct CopyJob {
  CopyJob(os::Platform& platform_in, const os::Conventions& conventions_in,
          report::ConsoleOut& console_in, JobSettings settings_in,
          char duration_separator_in)
      : platform(platform_in),
        conventions(conventions_in),
        console(console_in),
        settings(std::move(settings_in)),
        duration_separator(duration_separator_in),
        source(platform_in),
        target(platform_in),
        size_file(platform_in),
        writer(platform_in, console_in, conventions_in.name_separators) {}

  os::Platform& platform;
  const os::Conventions& conventions;
  report::ConsoleOut& console;
  JobSettings settings;
  const char duration_separator;

  TransferCounters counters;
  engine::FileChannel source;
  engine::FileChannel target;
  resume::SizeFile size_file;
  engine::BackgroundWriter writer;
  // Transfer buffers, taken once and never released.
  void* buffers[2] = {nullptr, nullptr};
  bool resume_mode = false;  // a size file is open and receives checkpoints
  bool bulk_mode = false;    // at least one full block remains to copy
  bool target_has_other_names = false;
  // The target's length once the bulk loop has written its last block
  // (0 when the loop does not run).
  std::int64_t bulk_length = 0;
  // The source's times and attributes, read once after it is opened: on a
  // share a second look at the end would cost round trips.
  os::Result<os::FileTimes> source_times;
  os::Result<std::uint32_t> source_attributes;
};

// Performs the copy from opening the source to renaming the result.
// Returns the exit status (kExitFailure when the finished copy could not
// take its final name); raises every failure for the caller's handler,
// which must keep `job` alive when the writer has started. Main thread.
int RunCopy(CopyJob& job);

// Moves every remaining block, source to target, both uncached and
// positioned at job.counters.copied; returns with everything written and
// the target reopened through the cache. Main thread.
void RunBulkLoop(CopyJob& job);

}  // namespace ferrux::app
