// The copy run: opening and planning, positioning, the one-shot copy of a
// short remainder, and finishing the target under its final name.
#include "app/copy_job.h"
#include "app/program.h"
#include "engine/failure.h"
#include "engine/preallocation.h"
#include "engine/privileges.h"
#include "engine/transfer_buffer.h"

namespace ferrux::app {
namespace {

// Names are never cut short to fit the platform's limits, on the whole
// path and on each name in a folder: a shortened name would open some
// other file. Checked before anything is created.
void CheckNameLength(const Context& context, const std::string& name) {
  const os::Platform::NameLengths length = context.platform.MeasureName(name);
  if (length.whole > context.conventions.max_path_length ||
      length.leaf > length.leaf_limit) {
    engine::RaiseException("File name too long");
  }
}

// Whether the temporary file is also the final file, left by a run stopped
// between the two steps of a linked rename: certainly (the system tells),
// or maybe (another name, or, where the system never tells, as on sshfs, a
// final file of the temporary file's very length and last-write time; two
// names of one file never differ in either).
enum class SecondName { kNone, kTheFinal, kMaybe };

SecondName SecondNameOf(const Context& context, const JobSettings& s,
                        CopyFiles& files, const Plan& plan) {
  os::Platform& platform = context.platform;
  os::FileHandle& target = files.target.handle();
  if (plan.other_names) {
    return platform.IsSameFile(target, s.FinalTargetName())
               ? SecondName::kTheFinal
               : SecondName::kMaybe;
  }
  const os::Result<os::Platform::NameFacts> final_file =
      platform.LookUp(s.FinalTargetName());
  if (final_file.status.code == os::kErrorFileNotFound)
    return SecondName::kNone;
  engine::CheckLastError(platform, final_file.status);
  const os::Result<os::FileTimes> times = platform.GetFileTimes(target);
  engine::CheckLastError(platform, times.status);
  const bool alike =
      final_file.value.size == files.target.Size64() &&
      final_file.value.last_write_unix_ns == times.value.last_write_unix_ns;
  return alike ? SecondName::kMaybe : SecondName::kNone;
}

// Whether the target is a whole copy of the source as it is now: the
// source's length and last-write time (which finishing gives the copy),
// and the same last bytes.
bool CopyOfSource(const Context& context, CopyFiles& files, const Plan& plan) {
  const os::Result<os::FileTimes> times =
      context.platform.GetFileTimes(files.target.handle());
  return plan.source_times.ok() && times.ok() &&
         times.value.last_write_unix_ns ==
             plan.source_times.value.last_write_unix_ns &&
         files.target.Size64() == plan.source_size &&
         resume::SameTail(files.source, files.target, plan.source_size);
}

// Whether the final file is the whole copy of the source that the size
// file marks complete: the source's length and last-write time, and the
// same last bytes.
bool FinalIsCopyOfSource(const Context& context, const JobSettings& s,
                         CopyFiles& files, const Plan& plan) {
  const os::Result<os::Platform::NameFacts> facts =
      context.platform.LookUp(s.FinalTargetName());
  if (!facts.ok() || facts.value.size != plan.source_size ||
      facts.value.last_write_unix_ns !=
          plan.source_times.value.last_write_unix_ns) {
    return false;
  }
  engine::FileChannel final_file(context.platform, "Target File");
  final_file.Assign(s.FinalTargetName());
  final_file.Open();
  return resume::SameTail(files.source, final_file, plan.source_size);
}

// Opens the source and the target and decides how much is left and how it
// is moved.
Plan OpenAndPlan(const Context& context, const JobSettings& s,
                 CopyFiles& files) {
  os::Platform& platform = context.platform;
  Plan plan;
  // An empty name would have to mean the standard input, which is no file
  // to resume from.
  if (s.source_name.empty())
    engine::RaiseException("Source File name is empty");
  CheckNameLength(context, s.source_name);
  CheckNameLength(context, s.TempTargetName());
  CheckNameLength(context, s.FinalTargetName());
  files.source.Assign(s.source_name);
  files.source.Open();
  plan.source_size = files.source.Size64();
  plan.source_times = platform.GetFileTimes(files.source.handle());
  plan.source_attributes = platform.GetAttributes(s.source_name);
  const auto block = static_cast<std::int64_t>(s.buffer_size);
  // The size file is used only for a source of at least one block; its
  // name must fit before the target is touched.
  if (!s.ordinary_mode && block <= plan.source_size) {
    CheckNameLength(context, s.SizeFileName());
  }
  files.target.Assign(s.TempTargetName());
  files.target.OpenOrCreate(engine::FileChannel::Sharing::kExclusive);
  const os::Result<std::uint32_t> links =
      platform.LinkCount(files.target.handle());
  engine::CheckLastError(platform, links.status);
  plan.other_names = links.value > 1;
  // What is left, exactly: a damaged size file may hold a negative count,
  // and source minus count would then overflow a signed count.
  auto rest = static_cast<std::uint64_t>(plan.source_size);
  plan.resume = !s.ordinary_mode && block <= plan.source_size;
  if (plan.resume) {
    // A resumed run goes on only with the source it began with.
    engine::CheckLastError(platform, plan.source_times.status);
    plan.copied = files.size_file.Open(
        s.SizeFileName(), files.source, files.target,
        {plan.source_size, plan.source_times.value.last_write_unix_ns},
        context.console);
    if (files.size_file.MarksNamedCopy()) {
      if (!FinalIsCopyOfSource(context, s, files, plan)) {
        resume::SizeFile::CountBeyondTarget();
      }
      plan.named_earlier = true;
      return plan;
    }
    rest -= static_cast<std::uint64_t>(plan.copied);
  }
  // A file that may bear the final name is never written into: a marked
  // complete copy of this very source goes on to finishing, which writes no
  // data; where the system tells it is the final file, finishing only drops
  // the temporary name, and only of a copy of the source as it is now.
  const bool complete = plan.resume && plan.copied == plan.source_size;
  const SecondName second = SecondNameOf(context, s, files, plan);
  if (second == SecondName::kTheFinal &&
      (complete || CopyOfSource(context, files, plan))) {
    return plan;
  }
  if (second != SecondName::kNone && !complete) {
    engine::RaiseException(
        "Temporary Target File has another name, delete .tmp and .size "
        "files to start over");
  }
  if (plan.source_size == 0 || complete) return plan;
  plan.bulk = static_cast<std::uint64_t>(block) <= rest;
  context.console.PrintLine({"Rest of copy ", std::to_string(rest)});
  plan.to_move = true;
  return plan;
}

// Reopens both files without the cache and preallocates the target; sets
// the target's length once the bulk loop has written its last block, which
// preallocation gives it or the blocks extend it to, and whether that
// block goes through the cache.
void PrepareBulk(const Context& context, CopyFiles& files, Plan& plan,
                 std::uint32_t block) {
  engine::EnablePrivileges(context.platform);
  files.source.ReopenSourceUncached();
  files.target.ReopenTargetUncached();
  plan.bulk_length = plan.copied + engine::RoundUpToMultiple(
                                       plan.source_size - plan.copied, block);
  plan.tail_cached = plan.bulk_length >
                     context.platform.LargestFileSize(files.target.handle());
  if (plan.tail_cached) plan.bulk_length = plan.source_size;
  engine::PreallocateTarget(context.platform, context.console, files.target,
                            engine::kUncachedUnit, plan.bulk_length);
}

// The remainder is shorter than one block: one read and one write, both
// through the file cache.
void CopyInOnePiece(const Context& context, CopyFiles& files,
                    const Plan& plan) {
  const auto size = static_cast<std::uint32_t>(plan.source_size - plan.copied);
  void* const buffer = files.buffers.Take(0, context.console, size);
  if (files.source.ReadBlock(buffer, size) != size) {
    engine::RaiseException("Not " +
                           std::to_string(static_cast<std::int32_t>(size)) +
                           " bytes readed");
  }
  if (plan.verify) files.digests.Add(buffer, size);
  files.target.WriteBlock(buffer, size);
}

// Drops the temporary name `from` of a file that also bears the final
// name. The final name is made durable first: a server that applies the
// two in the other order, cut between them, would keep neither name. An
// unlink whose first reply was lost (NFS retransmits it) reports a failure
// although the name is gone: then it is done.
bool DropTemporaryName(os::Platform& platform, const std::string& from) {
  const os::Status flushed = platform.FlushFolderOf(from);
  if (!flushed.ok() && flushed.code != os::kErrorNotSupported) return false;
  return platform.RemoveFile(from).ok() ||
         platform.LookUp(from).status.code == os::kErrorFileNotFound;
}

// Gives the complete temporary target its final name `to`, never replacing
// a file of that name. One atomic rename where the file system has it;
// else a second name, then the first one dropped (NFS, sshfs); else,
// without hard links either (SMB through FUSE, exFAT), a check that the
// name is free and a rename, which would replace a file that another
// program created under that name in the one round trip between the two.
// While a two-step way is under way the size file marks the copy complete,
// so a run stopped between the steps is finished by the next run, which
// never writes into a file that may already bear the final name. A file
// let go for the rename and not held again fails the run.
bool GiveFinalName(os::Platform& platform, engine::FileChannel& target,
                   const std::string& to, bool other_names) {
  os::FileHandle& file = target.handle();
  const std::string& from = target.name();
  // An earlier run took the second name and was stopped before it dropped
  // the first; only the system can tell, and some never do (sshfs).
  if (other_names && platform.IsSameFile(file, to)) {
    return DropTemporaryName(platform, from);
  }
  os::Status named = platform.RenameNoReplace(file, from, to);
  if (named.code != os::kErrorNotSupported) return named.ok();
  named = platform.LinkNoReplace(from, to);
  if (named.ok()) {
    if (DropTemporaryName(platform, from)) return true;
    // Two names for one file must not outlive the run: the name just made
    // goes again, but only while the temporary name certainly still stands
    // for the file. Should that fail too, the next run finds the two names
    // of one file and finishes.
    if (platform.IsSameFile(file, from)) {
      (void)platform.RemoveFile(to);  // a failure: the rerun finishes
    }
    return false;
  }
  if (named.code != os::kErrorNotSupported) return false;
  const os::Result<bool> renamed = platform.RenameIfAbsent(file, from, to);
  if (!file.valid()) engine::CheckIO(renamed.status);
  return renamed.value;
}

// Gives the complete temporary target its exact size, the source's times,
// its final name and attributes. Only a complete copy, forced to disk, is
// renamed, and the file stays open, held for this run, until it is done.
int Finish(const Context& context, const JobSettings& s, CopyFiles& files,
           const Plan& plan) {
  os::Platform& platform = context.platform;
  report::ConsoleOut& console = context.console;
  engine::FileChannel& target = files.target;
  console.RunStep("Target File Size Set...", [&] {
    // Often already exact (whole blocks): then no round trip to a share.
    const std::int64_t length = plan.bulk ? plan.bulk_length : target.Size64();
    if (length != plan.source_size) {
      target.Seek64(plan.source_size);
      target.TruncateHere();
    }
    return "Ok";
  });
  if (!plan.source_times.ok()) {
    console.PrintLine({"Source FileTime not get"});
  } else if (!platform.SetFileTimes(target.handle(), plan.source_times.value)
                  .ok()) {
    console.PrintLine({"Target FileTime not set"});
  }
  // The final name must never stand for data a crash could still take, nor
  // for a file whose time a crash could set back: a run finding the copy
  // named tells it by that time.
  target.FlushToDisk(os::Platform::FlushScope::kAll);
  if (plan.verify) VerifyTarget(context, s, files, plan);
  using IfAbsent = resume::SizeFile::IfAbsent;
  if (plan.resume) files.size_file.MarkComplete(IfAbsent::kSkip);
  if (!GiveFinalName(platform, target, s.FinalTargetName(), plan.other_names)) {
    // The complete copy stays under its temporary name, and the size file
    // says so: once the name is free, the next run only gives it.
    if (plan.resume) files.size_file.MarkComplete(IfAbsent::kCreate);
    console.PrintLine(
        {"Temporary Target File not renamed, see file with .tmp extension"});
    files.source.Close();
    target.Close();
    return kExitFailure;
  }
  const bool size_file_kept = plan.resume && files.size_file.Close();
  // The size file goes only once the final name is durable: a server that
  // applied the removal first and was cut before the rename would keep the
  // whole copy under its temporary name with no count, and the next run
  // would copy it all again. The last flush below reports a folder that
  // cannot be flushed.
  if (size_file_kept) {
    const os::Status named = platform.FlushFolderOf(s.FinalTargetName());
    if (named.code != os::kErrorNotSupported) {
      engine::CheckLastError(platform, named);
    }
  }
  if (size_file_kept && !platform.RemoveFile(s.SizeFileName()).ok()) {
    console.PrintLine({"Size File not deleted"});
  }
  if (!plan.source_attributes.ok()) {
    console.PrintLine({"Source File Attributes not get"});
  } else if (!platform
                  .SetAttributes(target.handle(), s.FinalTargetName(),
                                 plan.source_attributes.value)
                  .ok()) {
    console.PrintLine({"Target File Attributes not set"});
  }
  // The new name, and the size file gone, survive a power cut from here;
  // where the file system keeps no folder to flush, that is its own affair.
  const os::Status flushed = platform.FlushFolderOf(s.FinalTargetName());
  if (flushed.code == os::kErrorNotSupported) {
    console.PrintLine({"Target Folder not flushed"});
  } else {
    engine::CheckLastError(platform, flushed);
  }
  files.source.Close();
  target.Close();
  return kExitSuccess;
}

// The copy bears its final name already: what is left of the run that named
// it goes, the size file last, as it is what leads the next run here.
int DropLeftovers(const Context& context, const JobSettings& s,
                  CopyFiles& files) {
  os::Platform& platform = context.platform;
  files.size_file.Close();
  files.source.Close();
  files.target.Close();
  engine::CheckLastError(platform, platform.RemoveFile(s.TempTargetName()));
  if (!platform.RemoveFile(s.SizeFileName()).ok()) {
    context.console.PrintLine({"Size File not deleted"});
  }
  context.console.PrintLine({"Target File already complete"});
  return kExitSuccess;
}

}  // namespace

int RunCopy(const Context& context, const JobSettings& settings,
            CopyFiles& files) {
  Plan plan = OpenAndPlan(context, settings, files);
  if (plan.named_earlier) return DropLeftovers(context, settings, files);
  // A file that already bears the final name cannot be held back.
  plan.verify = settings.verify && !plan.other_names;
  if (plan.verify) PrepareDigests(context, files, plan);
  if (plan.to_move) {
    // A negative count (a damaged size file) is no position: the run fails
    // at the seek below, without reopening or resizing either file first.
    if (plan.bulk && plan.copied >= 0) {
      PrepareBulk(context, files, plan, settings.buffer_size);
    }
    if (plan.bulk || plan.copied > 0) {
      context.console.RunStep("Seek Source...", [&] {
        files.source.Seek64(plan.copied);
        return "Ok";
      });
      context.console.RunStep("Seek Target...", [&] {
        files.target.Seek64(plan.copied);
        return "Ok";
      });
    }
    if (plan.bulk) {
      RunBulkLoop(context, files, plan, settings.buffer_size);
    } else {
      CopyInOnePiece(context, files, plan);
    }
  }
  return Finish(context, settings, files, plan);
}

}  // namespace ferrux::app
