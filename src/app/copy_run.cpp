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

// The source as the size file records it: a resumed run goes on only with
// the source it began with.
resume::SourceStamp StampOf(CopyJob& job) {
  engine::CheckLastError(job.platform, job.source_times.status);
  return {job.counters.source_size, job.source_times.value.last_write_unix_ns};
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
  job.source.Open();
  c.source_size = job.source.Size64();
  job.source_times = job.platform.GetFileTimes(job.source.handle());
  job.source_attributes = job.platform.GetAttributes(s.source_name);
  const auto block = static_cast<std::int64_t>(s.buffer_size);
  // The size file is used only for a source of at least one block; its
  // name must fit before the target is touched.
  if (!s.ordinary_mode && block <= c.source_size) {
    CheckNameLength(job, s.SizeFileName());
  }
  job.target.Assign(s.TempTargetName());
  job.target.OpenOrCreate(engine::FileChannel::Sharing::kExclusive);
  const os::Result<std::uint32_t> links =
      job.platform.LinkCount(job.target.handle());
  engine::CheckLastError(job.platform, links.status);
  job.target_has_other_names = links.value > 1;
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
      c.copied = job.size_file.Open(s.SizeFileName(), job.source, job.target,
                                    StampOf(job), job.console);
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
  // The bulk loop writes whole blocks up to here; preallocation makes the
  // target exactly this long, or the blocks extend it to this length.
  job.bulk_length =
      c.copied + engine::RoundUpToMultiple(c.source_size - c.copied,
                                           job.settings.buffer_size);
  engine::PreallocateTarget(job.platform, job.console, job.target,
                            engine::kUncachedUnit, job.bulk_length);
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

// Gives the complete temporary target its final name, never replacing a
// file of that name. One atomic rename where the file system has it; else
// a second name, then the first one dropped (NFS, sshfs); else, without
// hard links either (SMB through FUSE, exFAT), a check that the name is
// free and a rename, which would replace a file that another program
// created under that name in the one round trip between the two. While a
// two-step way is under way the size file marks the copy complete, so a
// run stopped between the steps is finished by the next run, which never
// writes into a file that may already bear the final name.
bool GiveFinalName(CopyJob& job) {
  os::Platform& platform = job.platform;
  os::FileHandle& file = job.target.handle();
  const std::string& from = job.target.name();
  const std::string to = job.settings.FinalTargetName();
  // An earlier run took the second name and was stopped before it dropped
  // the first; only the system can tell, and some never do (sshfs).
  if (job.target_has_other_names && platform.IsSameFile(file, to)) {
    return platform.RemoveFile(from).ok();
  }
  os::Status named = platform.RenameNoReplace(file, from, to);
  if (named.code != os::kErrorNotSupported) return named.ok();
  named = platform.LinkNoReplace(from, to);
  if (named.ok()) {
    if (platform.RemoveFile(from).ok()) return true;
    // Two names for one file must not outlive the run: the name just made
    // goes again, and the copy stays under its temporary name.
    (void)platform.RemoveFile(to);
    return false;
  }
  if (named.code != os::kErrorNotSupported) return false;
  return platform.RenameIfAbsent(file, from, to).ok();
}

// Gives the complete temporary target its exact size, the source's times,
// its final name and attributes. Only a complete copy, forced to disk, is
// renamed, and the file stays open, held for this run, until it is done.
int Finish(CopyJob& job) {
  os::Platform& platform = job.platform;
  report::ConsoleOut& console = job.console;
  RunStep(job, "Target File Size Set...", [&] {
    // Often already exact (whole blocks): then no round trip to a share.
    const std::int64_t length =
        job.bulk_mode ? job.bulk_length : job.target.Size64();
    if (length == job.counters.source_size) return;
    job.target.Seek64(job.counters.source_size);
    job.target.TruncateHere();
  });
  const os::Result<os::FileTimes>& times = job.source_times;
  if (!times.ok()) {
    console.PrintLine({"Source FileTime not get"});
  } else if (!platform.SetFileTimes(job.target.handle(), times.value).ok()) {
    console.PrintLine({"Target FileTime not set"});
  }
  // The final name must never stand for data a crash could still take.
  job.target.FlushToDisk();
  if (job.resume_mode) {
    job.size_file.MarkComplete();
    job.size_file.Close();
  }
  if (!GiveFinalName(job)) {
    console.PrintLine(
        {"Temporary Target File not renamed, see file with .tmp extension"});
    job.source.Close();
    job.target.Close();
    return kExitFailure;
  }
  if (job.resume_mode &&
      !platform.RemoveFile(job.settings.SizeFileName()).ok()) {
    console.PrintLine({"Size File not deleted"});
  }
  const os::Result<std::uint32_t>& attributes = job.source_attributes;
  if (!attributes.ok()) {
    console.PrintLine({"Source File Attributes not get"});
  } else if (!platform
                  .SetAttributes(job.target.handle(),
                                 job.settings.FinalTargetName(),
                                 attributes.value)
                  .ok()) {
    console.PrintLine({"Target File Attributes not set"});
  }
  // The new name, and the size file gone, survive a power cut from here.
  engine::CheckLastError(
      platform, platform.FlushFolderOf(job.settings.FinalTargetName()));
  job.source.Close();
  job.target.Close();
  return kExitSuccess;
}

}  // namespace

int RunCopy(CopyJob& job) {
  const bool to_move = OpenAndPlan(job);
  // Another name of the temporary file may be the final name, left by a
  // run stopped inside a two-step rename: nothing may be written into it.
  // Only a copy marked complete goes on, to finishing.
  if (job.target_has_other_names &&
      !(job.resume_mode && job.counters.copied == job.counters.source_size)) {
    engine::RaiseException(
        "Temporary Target File has another name, delete .tmp and .size files "
        "to start over");
  }
  if (to_move) {
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
