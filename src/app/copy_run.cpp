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

// The destination folder as a name of its own ("." for the current one).
std::string DestFolder(const JobSettings& s) {
  return s.dest_dir.empty() ? "." : s.dest_dir + ".";
}

// Opens the temporary file, created empty where it is missing, held for
// this run alone. A destination that is no folder is said to be so.
void OpenTarget(const Context& context, const JobSettings& s,
                CopyFiles& files) {
  files.target.Assign(s.TempTargetName());
  try {
    files.target.OpenOrCreate(engine::FileChannel::Sharing::kExclusive);
  } catch (const engine::EInOutError& failure) {
    if (failure.code() != os::kErrorPathNotFound || s.dest_dir.size() < 2) {
      throw;
    }
    const os::Result<os::Platform::NameFacts> folder =
        context.platform.LookUp(s.dest_dir.substr(0, s.dest_dir.size() - 1));
    if (!folder.ok()) engine::RaiseException("Target Folder not found");
    if (folder.value.kind != os::FileKind::kDirectory) {
      engine::RaiseException("Target Folder is a file");
    }
    throw;
  }
}

// What the start decision turns on, each looked at once. The probes read
// only where the decision asks.
resume::StartFacts GatherFacts(const Context& context, const JobSettings& s,
                               CopyFiles& files, const Plan& plan,
                               const EarlierTries& earlier) {
  os::Platform& platform = context.platform;
  resume::StartFacts facts;
  facts.resumable = plan.resume;
  facts.source = {plan.source_size, plan.source_times.value.last_write_unix_ns};
  // Looked for before the open creates the temporary file.
  if (earlier.count_stored) {
    facts.files_missing = !platform.LookUp(s.TempTargetName()).ok() ||
                          !platform.LookUp(s.SizeFileName()).ok();
  }
  OpenTarget(context, s, files);
  facts.tmp_size = files.target.Size64();
  const os::Result<std::uint32_t> links =
      platform.LinkCount(files.target.handle());
  engine::CheckLastError(platform, links.status);
  facts.tmp_links = links.value;
  if (plan.resume) {
    const resume::SizeFile::Facts size_file =
        files.size_file.Read(s.SizeFileName(), facts.source);
    facts.size_file_present = size_file.present;
    facts.size_file_bytes = size_file.bytes;
    facts.size_file_links = size_file.links;
    facts.stored = size_file.stored;
  }
  const os::Result<os::Platform::NameFacts> final_file =
      platform.LookUp(s.FinalTargetName());
  if (final_file.status.code != os::kErrorFileNotFound) {
    engine::CheckLastError(platform, final_file.status);
    facts.final_present = true;
    facts.final_regular = final_file.value.kind == os::FileKind::kRegular;
    facts.final_size = final_file.value.size;
    facts.final_time = final_file.value.last_write_unix_ns;
  }
  // A final file a try found before is left to the rename's rule (never
  // replaced, the copy kept as NAME.tmp); one that came since, or that no
  // try could look for, is a copy finished meanwhile only if it proves so.
  facts.final_appeared =
      earlier.any && earlier.final_present != true && facts.final_present;
  if (facts.tmp_links > 1) {
    facts.tmp_is_final =
        platform.IsSameFile(files.target.handle(), s.FinalTargetName());
  }
  if (facts.final_present || facts.tmp_links > 1) {
    const os::Result<os::FileTimes> times =
        platform.GetFileTimes(files.target.handle());
    engine::CheckLastError(platform, times.status);
    facts.tmp_time = times.value.last_write_unix_ns;
  }
  return facts;
}

// Opens the source and the target and decides where the copy starts and
// how it is moved.
Plan OpenAndPlan(const Context& context, const JobSettings& s, CopyFiles& files,
                 EarlierTries& earlier) {
  os::Platform& platform = context.platform;
  Plan plan;
  // An empty name would have to mean the standard input, which is no file
  // to resume from.
  if (s.source_name.empty())
    engine::RaiseException("Source File name is empty");
  CheckNameLength(context, s.source_name);
  // Read by other programs as the name without them ("trail." as "trail"),
  // which may be another file: only a name that says so is taken.
  if (platform.MeasureName(s.source_name).leaf_trimmed) {
    engine::RaiseException(
        "Source File name ends in a dot or a space, give it as a \\\\?\\ path");
  }
  CheckNameLength(context, s.TempTargetName());
  CheckNameLength(context, s.FinalTargetName());
  files.source.Assign(s.source_name);
  files.source.Open();
  plan.source_size = files.source.Size64();
  plan.source_times = platform.GetFileTimes(files.source.handle());
  plan.source_attributes = platform.GetAttributes(files.source.handle());
  // Known before anything is made: a copy the volume cannot hold would
  // fail only at its end, and waiting never cures it.
  plan.largest = platform.LargestFileSize(DestFolder(s));
  if (plan.source_size > plan.largest) {
    engine::RaiseException(
        "Source File too large for the Target Folder's file system, largest "
        "file " +
        std::to_string(plan.largest) + " bytes");
  }
  const auto block = static_cast<std::int64_t>(s.buffer_size);
  plan.resume = !s.ordinary_mode && block <= plan.source_size;
  if (plan.resume) {
    // The size file's name must fit before the target is touched.
    CheckNameLength(context, s.SizeFileName());
    // A resumed run goes on only with the source it began with.
    engine::CheckLastError(platform, plan.source_times.status);
  }
  const resume::StartFacts facts =
      GatherFacts(context, s, files, plan, earlier);
  if (!earlier.final_present) earlier.final_present = facts.final_present;
  const auto final_ends_as_source = [&] {
    engine::FileChannel& named = files.named;
    if (named.mode() == engine::ChannelMode::kClosed) {
      named.Assign(s.FinalTargetName());
      named.Open(engine::FileChannel::Links::kRefuse);
    }
    return resume::SameTail(files.source, named, plan.source_size);
  };
  const resume::StartDecision decision = resume::DecideStart(
      facts, {[&] {
                return resume::SameTail(files.source, files.target,
                                        facts.stored.count);
              },
              [&] {
                return resume::SameTail(files.source, files.target,
                                        plan.source_size);
              },
              final_ends_as_source});
  if (decision.start == resume::Start::kRefuse) {
    engine::RaiseException(decision.refusal, decision.cure);
  }
  plan.start = decision.start;
  plan.copied = decision.count;
  // Digests stored with a count are of the source the stamp names.
  const bool same_source =
      facts.stored.stamped && facts.stored.stamp == facts.source;
  files.size_file.Take(decision.start != resume::Start::kDropLeftovers ||
                               same_source
                           ? facts.stored.count
                           : 0);
  using resume::Start;
  if (plan.copied > 0 && plan.start != Start::kDropLeftovers) {
    context.console.PrintLine({"Restart from ", report::Number{plan.copied}});
  }
  if (plan.start != Start::kFresh && plan.start != Start::kResume) return plan;
  if (plan.source_size == 0) return plan;
  // What is left, exactly: a damaged size file may hold a negative count,
  // and source minus count would then overflow a signed count.
  const std::uint64_t rest = static_cast<std::uint64_t>(plan.source_size) -
                             static_cast<std::uint64_t>(plan.copied);
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
  plan.tail_cached = plan.bulk_length > plan.largest;
  if (plan.tail_cached) plan.bulk_length = plan.source_size;
  engine::PreallocateTarget(context.platform, context.console, files.target,
                            engine::kUncachedUnit, plan.bulk_length);
}

// The remainder is shorter than one block: one read and one write, both
// through the file cache.
void CopyInOnePiece(CopyFiles& files, const Plan& plan) {
  const auto size = static_cast<std::uint32_t>(plan.source_size - plan.copied);
  files.pipeline.TakeBuffers(1, size);
  unsigned char* const buffer = files.pipeline.Buffer(0);
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
os::Status DropTemporaryName(os::Platform& platform, const std::string& from) {
  const os::Status flushed = platform.FlushFolderOf(from);
  if (!flushed.ok() && flushed.code != os::kErrorNotSupported) return flushed;
  const os::Status removed = platform.RemoveFile(from);
  if (removed.ok() ||
      platform.LookUp(from).status.code == os::kErrorFileNotFound) {
    return {};
  }
  return removed;
}

// Whether a way to the final name gave it: false where a file of that name
// exists; any other failure (an I/O error, a share gone) is raised with its
// code, for a retry to judge.
bool Named(os::Platform& platform, const os::Status& status) {
  if (status.code == os::kErrorAlreadyExists ||
      status.code == os::kErrorFileExists) {
    return false;
  }
  engine::CheckLastError(platform, status);
  return true;
}

// Gives the complete temporary target its final name `to`, never replacing
// a file of that name; false where one exists. One atomic rename where the
// file system has it; else a second name, then the first one dropped (NFS,
// sshfs); else, without hard links either (SMB through FUSE, exFAT), a
// check that the name is free and a rename, which would replace a file
// that another program created under that name in the one round trip
// between the two. While a two-step way is under way the size file marks
// the copy complete, so a run stopped between the steps is finished by
// the next run, which never writes into a file that may already bear the
// final name. A file let go for the rename and not held again fails the
// run.
bool GiveFinalName(os::Platform& platform, engine::FileChannel& target,
                   const std::string& to, resume::Start start) {
  os::FileHandle& file = target.handle();
  const std::string& from = target.name();
  if (start == resume::Start::kDropTemporaryName) {
    return Named(platform, DropTemporaryName(platform, from));
  }
  os::Status named = platform.RenameNoReplace(file, from, to);
  if (named.code != os::kErrorNotSupported) return Named(platform, named);
  named = platform.LinkNoReplace(from, to);
  if (named.ok()) {
    const os::Status dropped = DropTemporaryName(platform, from);
    if (dropped.ok()) return true;
    // Two names for one file must not outlive the run: the name just made
    // goes again, but only while the temporary name certainly still stands
    // for the file. Should that fail too, the next run finds the two names
    // of one file and finishes.
    if (platform.IsSameFile(file, from)) {
      (void)platform.RemoveFile(to);  // a failure: the rerun finishes
    }
    engine::CheckLastError(platform, dropped);
  }
  if (named.code != os::kErrorNotSupported) return Named(platform, named);
  const os::Result<bool> renamed = platform.RenameIfAbsent(file, from, to);
  if (!file.valid()) engine::CheckIO(renamed.status);
  return renamed.value || Named(platform, renamed.status);
}

// Gives the named copy the source's attributes, on the open file, never
// through a link that may have taken its name.
void CopyAttributes(const Context& context, const JobSettings& s,
                    const Plan& plan, engine::FileChannel& copy) {
  if (!plan.source_attributes.ok()) {
    context.console.PrintLine({"Source File Attributes not get"});
  } else if (!context.platform
                  .SetAttributes(copy.handle(), s.FinalTargetName(),
                                 plan.source_attributes.value)
                  .ok()) {
    context.console.PrintLine({"Target File Attributes not set"});
  }
}

// The source must still be the one that was copied: bytes read before an
// edit and after it make a copy of neither version.
void CheckSourceUnchanged(const Context& context, CopyFiles& files,
                          const Plan& plan) {
  bool same = files.source.Size64() == plan.source_size;
  if (plan.source_times.ok()) {
    const os::Result<os::FileTimes> now =
        context.platform.GetFileTimes(files.source.handle());
    engine::CheckLastError(context.platform, now.status);
    same = same && now.value.last_write_unix_ns ==
                       plan.source_times.value.last_write_unix_ns;
  }
  if (!same) {
    engine::RaiseException(
        "Source File changed, delete .tmp and .size files to start over");
  }
}

// Gives the complete temporary target its exact size, the source's times,
// its final name and attributes. Only a complete copy, forced to disk, of
// the source as it still is, is renamed, and the file stays open, held for
// this run, until it is done.
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
  if (plan.verify) {
    VerifyTarget(context, s, files, plan, target,
                 plan.start == resume::Start::kDropTemporaryName
                     ? Named::kAlready
                     : Named::kNotYet);
  }
  CheckSourceUnchanged(context, files, plan);
  using IfAbsent = resume::SizeFile::IfAbsent;
  if (plan.resume) files.size_file.MarkComplete(IfAbsent::kSkip);
  if (!GiveFinalName(platform, target, s.FinalTargetName(), plan.start)) {
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
  CopyAttributes(context, s, plan, target);
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

// The copy bears its final name already (a run that named it was stopped
// before it was done, or failed after the rename, or another run finished
// it meanwhile): with /V it is read back first; it gets the source's
// attributes, and what is left of the run that named it goes, the size
// file last, as it is what leads the next run here.
int DropLeftovers(const Context& context, const JobSettings& s,
                  CopyFiles& files, const Plan& plan) {
  os::Platform& platform = context.platform;
  if (plan.verify) {
    PrepareDigests(context, files, plan, plan.source_size, s.buffer_size);
    VerifyTarget(context, s, files, plan, files.named, Named::kAlready);
  }
  CopyAttributes(context, s, plan, files.named);
  const bool size_file_kept = files.size_file.Close();
  files.named.Close();
  files.source.Close();
  files.target.Close();
  engine::CheckLastError(platform, platform.RemoveFile(s.TempTargetName()));
  if (size_file_kept && !platform.RemoveFile(s.SizeFileName()).ok()) {
    context.console.PrintLine({"Size File not deleted"});
  }
  context.console.PrintLine({"Target File already complete"});
  return kExitSuccess;
}

}  // namespace

int RunCopy(const Context& context, const JobSettings& settings,
            CopyFiles& files, EarlierTries& earlier) {
  files.pipeline.Limit(settings.rate_limit);
  Plan plan = OpenAndPlan(context, settings, files, earlier);
  plan.verify = settings.verify;
  if (plan.start == resume::Start::kDropLeftovers) {
    return DropLeftovers(context, settings, files, plan);
  }
  if (plan.verify) {
    PrepareDigests(context, files, plan, plan.copied, settings.buffer_size);
  }
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
      CopyInOnePiece(files, plan);
    }
  }
  return Finish(context, settings, files, plan);
}

}  // namespace ferrux::app
