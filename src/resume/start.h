// Where a run starts: the facts about the source, the temporary file, the
// size file and the final name, gathered once, and the one decision taken
// from them (start afresh, resume, only finish, drop a name or leftovers,
// or refuse with the remedy).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/failure.h"
#include "resume/size_file.h"

namespace ferrux::resume {

struct StartFacts {
  // A size file is used: not "/O", and the source holds a whole block.
  bool resumable = false;
  SourceStamp source;  // as it is now
  // The size file, looked at only where resumable.
  bool size_file_present = false;
  std::uint32_t size_file_bytes = 0;  // of its record, as read
  std::uint32_t size_file_links = 1;
  StoredCount stored;
  // The temporary file as this run opened it (created empty if missing).
  std::int64_t tmp_size = 0;
  std::int64_t tmp_time = 0;  // last write, ns; known where final_present
                              // or tmp_links > 1
  std::uint32_t tmp_links = 1;
  bool tmp_is_final = false;  // the system says so for certain
  // The final name, not followed if it is a link.
  bool final_present = false;
  bool final_regular = false;
  std::int64_t final_size = 0;
  std::int64_t final_time = 0;
  // Retries: a count stored by an earlier try speaks of files that were not
  // both there when this try looked; the final name was absent when the
  // first try looked and is there now.
  bool files_missing = false;
  bool final_appeared = false;
};

// The facts that cost reads (the last bytes of two files compared), asked
// only where the decision turns on them.
struct StartProbes {
  // The temporary file's bytes before the stored count are the source's.
  std::function<bool()> tmp_matches_before_count;
  // The temporary file's (or the final file's) last bytes are the source's.
  std::function<bool()> tmp_ends_as_source;
  std::function<bool()> final_ends_as_source;
};

enum class Start {
  kFresh,              // copy from the first byte (count 0)
  kResume,             // go on from the stored count
  kFinishOnly,         // the temporary file holds the whole copy
  kDropTemporaryName,  // the temporary file bears the final name too
  kDropLeftovers,      // the final name holds the copy; remove what is left
  kRefuse,             // the message names the remedy
};

struct StartDecision {
  Start start = Start::kFresh;
  std::int64_t count = 0;  // where the copy stands (kResume may be negative:
                           // a damaged size file fails at the seek)
  std::string refusal;
  engine::Cure cure = engine::Cure::kNone;
};

StartDecision DecideStart(const StartFacts& facts, const StartProbes& probes);

// Whether two last-write times (ns since 1970) are the same at the coarser
// of the steps the two file systems keep them in (NTFS 100 ns, exFAT 10 ms,
// sshfs and SMB through FUSE whole seconds, FAT two), each told by the
// step its value is a whole number of.
bool SameTime(std::int64_t a, std::int64_t b);

}  // namespace ferrux::resume
