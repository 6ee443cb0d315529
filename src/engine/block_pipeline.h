// The block pipeline every copied byte passes through: a few locked
// buffers of one block each; the blocks of a file read ahead into them, in
// order, and, for a copy, written behind by a writer thread at their own
// offsets; each block a record of where it lies and which buffer holds it.
// The bulk loop and the read back both use it.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/file_channel.h"
#include "engine/pacer.h"
#include "os/platform.h"
#include "report/console_out.h"

namespace ferrux::engine {

// How a failed write ends: the whole process, from the writer thread, with
// the unhandled-failure report (exit status 1), where no retry may follow;
// else handed back to the main thread, whose next wait raises it.
enum class OnWriterFailure { kEndProcess, kHandBack };

// A failure of the writer thread, raised on the main thread.
struct WriterFailed {
  std::exception_ptr failure;
};

// One block: where it lies in its file, how many bytes of it were read (the
// last block of a file may be short), and the buffer that holds it.
struct Block {
  std::int64_t offset = 0;
  std::uint32_t length = 0;
  std::uint32_t slot = 0;
  unsigned char* data = nullptr;
};

// How many buffers of `block` bytes a pipeline takes: as many as the memory
// an unprivileged process may lock holds (8 MiB, or the process's own limit
// where that is larger), at least two (unlocked, where even those do not
// fit) and at most the number that measured best.
std::uint32_t SlotsFor(std::uint32_t block,
                       const std::optional<os::LockLimits>& limits);

// The hand-off between the main thread and the writer: a ring of write
// records, one per buffer at most. The main thread adds a record at the
// tail and sets WorkReady; the writer writes the record at the head, moves
// the head on (the record's buffer is then free again) and sets SlotFree.
// Each side checks the indexes before it waits for the other's event, and
// each event stays set until a wait takes it, so no wake-up is lost. The
// indexes are atomic, and release and acquire order the block's bytes and
// the record between the threads. Writes complete in order of the ring, so
// the end of the last block written ends a prefix written in full.
//
// A failed write where no retry may follow ends the whole process from the
// writer thread (exit status 1): nothing more is written, no count stored,
// nothing renamed. Where a retry may follow, the writer keeps the failure,
// sets SlotFree and ends; the main thread's next wait raises it as
// WriterFailed.
//
// The pipeline's end stops and joins the writer (which first writes what
// it was handed), waits for the reads still in flight, which land in the
// buffers, and only then gives the buffers back; the files it reads and
// writes must outlive it.
class BlockPipeline {
 public:
  BlockPipeline(os::Platform& platform, report::ConsoleOut& console,
                std::string_view name_separators)
      : platform_(platform),
        console_(console),
        name_separators_(name_separators) {}
  BlockPipeline(const BlockPipeline&) = delete;
  BlockPipeline& operator=(const BlockPipeline&) = delete;
  ~BlockPipeline();

  // Makes `slots` buffers of `size` bytes each, zero-filled, page-aligned,
  // locked where the system allows (AllocLockedBuffer: "No memory",
  // "Buffer not locked"); buffers of another count or size go first. Only
  // while nothing is in flight. Main thread.
  void TakeBuffers(std::uint32_t slots, std::uint32_t size);
  std::uint32_t slots() const {
    return static_cast<std::uint32_t>(buffers_.size());
  }
  unsigned char* Buffer(std::uint32_t slot) { return buffers_[slot]; }

  // Holds the blocks that enter (every read begun, of a copy, a read back
  // or a source read for digests) to `bytes_per_second` on average; 0, no
  // limit. Main thread.
  void Limit(std::uint64_t bytes_per_second) {
    pacer_ = Pacer(bytes_per_second);
  }

  // From now on NextRead gives the blocks of `file` from `from` up to
  // `end`, each the buffer size long (the last may be shorter), as many
  // read ahead as buffers are free where the file reads ahead. Only while
  // no read is in flight. Main thread.
  void StartReading(FileChannel& file, std::int64_t from, std::int64_t end);
  // The next block, in order; waits for a free buffer (the writer frees
  // them) and for the block's read, which raises as ReadBlock does. A block
  // of length 0: the file ended before `end`. The block's buffer is the
  // caller's until it is handed to Write or Release. Main thread.
  Block NextRead();
  // Gives the block's buffer back unwritten. Main thread.
  void Release(const Block& block);

  // Starts the writer thread for `target`, whose first `written` bytes
  // are already written; raises EWin32Error when the thread or its events
  // cannot be had. Main thread, once.
  void StartWriter(FileChannel& target, std::int64_t written,
                   OnWriterFailure on_failure);
  // Hands the block to the writer: `length` bytes of its buffer (whole
  // blocks where the target is uncached) go to its offset; returns at once.
  // Main thread.
  void Write(const Block& block, std::uint32_t length);
  // Returns once every block handed to the writer is written; raises
  // WriterFailed after a failed write that was handed back. Main thread.
  void Drain();
  // The end of the prefix of the target written in full: every block
  // handed to the writer before it is written. Main thread.
  std::int64_t WrittenEnd() const;
  // Lets the writer write what it was handed, then stops and joins it;
  // nothing where none was started. Main thread.
  void Stop();
  bool writer_started() const { return thread_ != nullptr; }

 private:
  struct Record {
    std::int64_t offset = 0;
    std::uint32_t length = 0;  // to write
    std::uint32_t data = 0;    // of it the block's bytes
    std::uint32_t slot = 0;
  };
  static void ThreadEntry(void* self);
  void Loop();
  void WriteRecord(const Record& record);
  // Takes back the buffers the writer has written since the last call.
  void Collect();
  // Waits for the writer to write a block; raises its failure.
  void WaitForWriter();
  void RaiseWriterFailure() const;
  // Whether the pacer lets the next block in now; where it is due later,
  // waits for it only when `wait` (nothing else could be done meanwhile),
  // holding nothing.
  bool MayEnter(bool wait);
  void GiveBack();

  os::Platform& platform_;
  report::ConsoleOut& console_;
  std::string_view name_separators_;
  std::vector<unsigned char*> buffers_;
  std::uint32_t size_ = 0;

  // Main thread only.
  Pacer pacer_;
  std::deque<std::uint32_t> free_;
  std::deque<Block> in_flight_;  // reads begun, oldest first
  FileChannel* reading_ = nullptr;
  bool ahead_ = false;
  std::int64_t asked_ = 0;  // where the next read begins
  std::int64_t end_ = 0;
  std::uint64_t collected_ = 0;

  // The writer's ring. The main thread writes records_[tail_ % n] and
  // then tail_; the writer reads them and then writes head_ and
  // written_end_.
  FileChannel* target_ = nullptr;
  OnWriterFailure on_failure_ = OnWriterFailure::kEndProcess;
  std::vector<Record> records_;
  std::size_t Ring(std::uint64_t count) const {
    return static_cast<std::size_t>(count % records_.size());
  }
  std::atomic<std::uint64_t> head_{0};
  std::atomic<std::uint64_t> tail_{0};
  std::atomic<std::int64_t> written_end_{0};
  std::atomic<bool> stop_{false};
  // Written by the writer before it sets `failed_` and SlotFree.
  std::exception_ptr failure_;
  std::atomic<bool> failed_{false};
  std::unique_ptr<os::Event> work_ready_;
  std::unique_ptr<os::Event> slot_free_;
  std::unique_ptr<os::Thread> thread_;
};

}  // namespace ferrux::engine
