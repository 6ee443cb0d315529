// The one copy a run performs: what it works with, the files it holds, what
// opening them decided, and the two stages that move the data (the copy
// run and the bulk transfer loop).
#pragma once

#include <cstdint>
#include <optional>

#include "app/job_settings.h"
#include "engine/block_pipeline.h"
#include "engine/chunk_digests.h"
#include "engine/file_channel.h"
#include "engine/transfer_buffer.h"
#include "os/native_platform.h"
#include "os/platform.h"
#include "report/console_out.h"
#include "resume/size_file.h"
#include "resume/start.h"

namespace ferrux::app {

// Milliseconds between two checkpoints and progress rows.
inline constexpr std::uint32_t kReportInterval = 10000;

// What every step works with; fixed for the run.
struct Context {
  os::Platform& platform;
  const os::Conventions& conventions;
  report::ConsoleOut& console;
  char duration_separator;
};

// The files of the copy and what moves their data: everything one try of
// the copy holds. Its end releases all of it, in this order: the pipeline
// (its writer stopped and joined, its reads in flight waited for, its
// buffers given back), then the files.
struct CopyFiles {
  CopyFiles(const Context& context, engine::OnWriterFailure on_failure)
      : source(context.platform, "Source File"),
        target(context.platform, "Temporary Target File"),
        named(context.platform, "Target File"),
        size_file(context.platform),
        pipeline(context.platform, context.console,
                 context.conventions.name_separators),
        on_writer_failure(on_failure) {}

  engine::SourceDigests digests;  // of the source's bytes read (with /V)
  engine::FileChannel source;
  engine::FileChannel target;
  engine::FileChannel named;  // the final file, where the copy bears its name
  resume::SizeFile size_file;
  engine::BlockPipeline pipeline;  // after the files it reads and writes
  engine::OnWriterFailure on_writer_failure;
};

// What opening the files found and decided; the later steps read it.
struct Plan {
  resume::Start start = resume::Start::kFresh;
  std::int64_t source_size = 0;
  std::int64_t copied = 0;       // where the copy goes on (a stored count)
  bool resume = false;           // a size file receives checkpoints
  bool bulk = false;             // at least one full block remains
  bool to_move = false;          // anything remains to be moved
  bool verify = false;           // digests taken, target read back
  std::int64_t bulk_length = 0;  // the target's length after the bulk loop
  // The largest file the target's volume takes.
  std::int64_t largest = INT64_MAX;
  // The last block is written through the cache at its exact length: a
  // whole block would take the target past the volume's largest file.
  bool tail_cached = false;
  // Read once, after the source is opened: on a share a second look at the
  // end would cost round trips.
  os::Result<os::FileTimes> source_times;
  os::Result<std::uint32_t> source_attributes;
};

// What earlier tries of the same copy saw, for a retry to judge by.
struct EarlierTries {
  bool any = false;           // this try is a retry
  bool count_stored = false;  // a count was stored: its files must be there
  // Whether the final name was there when a try first looked; unknown
  // where no try could look (a share dead from the start).
  std::optional<bool> final_present;
};

// Performs the copy from opening the source to renaming the result.
// Returns the exit status (kExitFailure when the finished copy could not
// take its final name); raises every failure for the caller's handler.
// Notes in `earlier` what a later try needs to know. Main thread.
int RunCopy(const Context& context, const JobSettings& settings,
            CopyFiles& files, EarlierTries& earlier);

// Starts the source's digests from those stored with the count and makes
// the missing ones by reading the source up to `covered` once, in blocks of
// `block` bytes through the pipeline, with a step line; from then on
// checkpoints store them. Main thread.
void PrepareDigests(const Context& context, CopyFiles& files, const Plan& plan,
                    std::int64_t covered, std::uint32_t block);

// Whether a read back that finds the copy unlike the source can go on: a
// copy under its temporary name is copied again from the first part that
// differs; one that already bears its final name is never written into.
enum class Named { kNotYet, kAlready };

// Reads `copy` (complete and flushed, of the source's size) back past
// every cache and compares it with the source's digests (all bytes fed).
// Prints "Verify Target File..." Ok and the digest line for `shown_name`;
// or Fail, and then, for a copy not yet named, stores the count of the
// first segment that differs (plan.resume) and raises a failure a retry
// may cure; for a named copy, raises one that names the remedy.
void VerifyTarget(const Context& context, const JobSettings& s,
                  CopyFiles& files, const Plan& plan, engine::FileChannel& copy,
                  Named named);

// Moves every block from plan.copied on in blocks of `block` bytes, source
// to target, both uncached and positioned there; returns with everything
// written and the target switched back to the cache. Main thread.
void RunBulkLoop(const Context& context, CopyFiles& files, const Plan& plan,
                 std::uint32_t block);

}  // namespace ferrux::app
