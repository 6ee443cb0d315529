// The copy run: opening and planning, positioning, the one-shot copy of a
// short remainder, and finishing the target under its final name.
#include "app/copy_job.h"
#include "engine/failure.h"
#include "engine/preallocation.h"
#include "engine/transfer_buffer.h"

namespace ferrux::app {
namespace {

// Names are never cut short to fit the platform's limit: a shortened name
// would open some other file.
void CheckNameLength(const CopyJob& job, const std::string& name) {
  if (name.size() > job.conventions.max_path_length) {
    engine::RaiseException("File name too long");
  }
}

// A step line: the announcement is printed (and on a console shown) before
// the step runs; a failure inside leaves the line open for the report.
template <class Step>
void RunStep(CopyJob& job, const char* announcement, Step step) {
  job.console.Print({announcement});
  step();
  job.console.PrintLine({"Ok"});
}

// Opens the source and the target and decides how much is left and how it
// is moved. Returns false when nothing remains to move.
bool OpenAndPlan(CopyJob& job) {
  TransferCounters& c = job.counters;
  const JobSettings& s = job.settings;
  CheckNameLength(job, s.source_name);
  CheckNameLength(job, s.TempTargetName());
  CheckNameLength(job, s.FinalTargetName());
  job.source.Assign(s.source_name);
  job.source.Open(engine::ChannelMode::kReadOnly);
  c.source_size = job.source.Size64();
  const auto block = static_cast<std::int64_t>(s.buffer_size);
  // The size file is used only for a source of at least one block; its
  // name must fit before the target is touched.
  if (!s.ordinary_mode && block <= c.source_size) {
    CheckNameLength(job, s.SizeFileName());
  }
  job.target.Assign(s.TempTargetName());
  job.target.OpenOrCreate();
  c.copied = 0;
  job.resume_mode = false;
  if (c.source_size == 0) return false;
  job.bulk_mode = block <= c.source_size;
  // What is left, exactly: a damaged size file may hold a negative count,
  // and source minus count would then overflow a signed count.
  std::uint64_t rest = static_cast<std::uint64_t>(c.source_size);
  if (job.bulk_mode) {
    job.resume_mode = !s.ordinary_mode;
    if (job.resume_mode) {
      c.copied = job.size_file.Open(s.SizeFileName(), job.target, c.source_size,
                                    job.console);
    }
    rest -= static_cast<std::uint64_t>(c.copied);
    job.bulk_mode = static_cast<std::uint64_t>(block) <= rest;
    if (!job.bulk_mode && c.copied == c.source_size) return false;
  }
  job.console.PrintLine({"Rest of copy ", std::to_string(rest)});
  return true;
}

void PrepareBulk(CopyJob& job) {
  const TransferCounters& c = job.counters;
  engine::EnablePrivileges(job.platform);
  job.source.ReopenSourceUncached();
  job.target.ReopenTargetUncached();
  engine::PreallocateTarget(
      job.platform, job.console, job.target, 4096,
      c.copied + engine::RoundUpToMultiple(c.source_size - c.copied,
                                           job.settings.buffer_size));
}

void Position(CopyJob& job) {
  RunStep(job, "Seek Source...",
          [&] { job.source.Seek64(job.counters.copied); });
  RunStep(job, "Seek Target...",
          [&] { job.target.Seek64(job.counters.copied); });
}

// The remainder is shorter than one block: one read and one write, both
// through the file cache.
void CopyInOnePiece(CopyJob& job) {
  const TransferCounters& c = job.counters;
  job.settings.buffer_size =
      static_cast<std::uint32_t>(c.source_size - c.copied);
  const std::uint32_t size = job.settings.buffer_size;
  job.buffers[0] = engine::AllocLockedBuffer(job.platform, job.console, size);
  if (job.source.ReadBlock(job.buffers[0], size) != size) {
    engine::RaiseException("Not " +
                           std::to_string(static_cast<std::int32_t>(size)) +
                           " bytes readed");
  }
  job.target.WriteBlock(job.buffers[0], size);
}

// Gives the complete temporary target its exact size, the source's times
// and its final name. Only a complete copy, forced to disk, is renamed.
int Finish(CopyJob& job) {
  os::Platform& platform = job.platform;
  report::ConsoleOut& console = job.console;
  if (job.resume_mode) job.size_file.Close();
  RunStep(job, "Target File Size Set...", [&] {
    job.target.Seek64(job.counters.source_size);
    job.target.TruncateHere();
  });
  const os::Result<os::FileTimes> times =
      platform.GetFileTimes(job.source.handle());
  if (!times.ok()) {
    console.PrintLine({"Source FileTime not get"});
  } else if (!platform.SetFileTimes(job.target.handle(), times.value).ok()) {
    console.PrintLine({"Target FileTime not set"});
  }
  // The final name must never stand for data a crash could still take.
  job.target.FlushToDisk();
  job.source.Close();
  job.target.Close();
  if (job.resume_mode &&
      !platform.RemoveFile(job.settings.SizeFileName()).ok()) {
    console.PrintLine({"Size File not deleted"});
  }
  if (!platform
           .MoveFileNoReplace(job.settings.TempTargetName(),
                              job.settings.FinalTargetName())
           .ok()) {
    console.PrintLine(
        {"Temporary Target File not renamed, see file with .tmp extension"});
    return kExitFailure;
  }
  const os::Result<std::uint32_t> attributes =
      platform.GetAttributes(job.settings.source_name);
  if (!attributes.ok()) {
    console.PrintLine({"Source File Attributes not get"});
  } else if (!platform
                  .SetAttributes(job.settings.FinalTargetName(),
                                 attributes.value)
                  .ok()) {
    console.PrintLine({"Target File Attributes not set"});
  }
  return kExitSuccess;
}

}  // namespace

int RunCopy(CopyJob& job) {
  if (OpenAndPlan(job)) {
    // A negative count (a damaged size file) is no position: the run fails
    // at the seek below, without reopening or resizing either file first.
    if (job.bulk_mode && job.counters.copied >= 0) PrepareBulk(job);
    if (job.bulk_mode || job.counters.copied > 0) Position(job);
    if (job.bulk_mode) {
      RunBulkLoop(job);
    } else {
      CopyInOnePiece(job);
    }
  }
  return Finish(job);
}

}  // namespace ferrux::app
