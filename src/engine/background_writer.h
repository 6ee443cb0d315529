// BackgroundWriter: a thread that writes each block the main thread hands
// it to the target, so that reading the next block overlaps writing this
// one. At most one block is ever in flight.
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/file_channel.h"
#include "os/platform.h"
#include "report/console_out.h"

namespace ferrux::engine {

// The hand-off between the main thread and the writer uses two events:
//
//   WorkReady  (auto-reset, starts clear): a filled buffer waits.
//   WriterIdle (manual-reset, starts set): every buffer handed off so far
//              has been written.
//
// HandOff waits for WriterIdle, clears it and sets WorkReady; the writer
// waits for WorkReady (which clears it), writes slot WriteIndex, flips
// WriteIndex and sets WriterIdle. Since WorkReady is set only after
// WriterIdle was seen set, no wake-up is lost or doubled, the k-th write
// uses the slot of the k-th hand-off, and the main thread never refills a
// slot the writer is still writing. Each set and the wait it satisfies
// order memory as release and acquire, so the block's bytes and the target
// channel pass between the threads through the events alone.
//
// A failed write ends the whole process from the writer thread with the
// unhandled-failure report (exit status 1); WriterIdle then stays clear, so
// the main thread can hand off nothing more, store no count and rename
// nothing. The thread is never stopped or joined, and the events are never
// destroyed: the process ends with the writer waiting.
class BackgroundWriter {
 public:
  BackgroundWriter(os::Platform& platform, report::ConsoleOut& console,
                   std::string_view name_separators)
      : platform_(platform),
        console_(console),
        name_separators_(name_separators) {}
  BackgroundWriter(const BackgroundWriter&) = delete;
  BackgroundWriter& operator=(const BackgroundWriter&) = delete;

  // Creates the events and starts the thread. `slots` holds the two
  // buffers; slot 0 may be filled in after Start, before the first
  // HandOff. Raises EWin32Error when the thread or an event cannot be had.
  // Main thread, once.
  void Start(FileChannel& target, void* const* slots,
             std::uint32_t buffer_size);

  // Gives the writer the slot filled last (the slots alternate, starting at
  // 0); returns without waiting for the write. Main thread.
  void HandOff();

  // Returns once every block handed off has been written. Main thread.
  void WaitIdle();

  bool started() const { return work_ready_ != nullptr; }

 private:
  static void ThreadEntry(void* self);
  [[noreturn]] void Loop();
  void WriteNextBuffer();

  os::Platform& platform_;
  report::ConsoleOut& console_;
  std::string_view name_separators_;
  FileChannel* target_ = nullptr;
  void* const* slots_ = nullptr;
  std::uint32_t buffer_size_ = 0;
  std::uint8_t write_index_ = 0;
  // Owned for the rest of the process, deliberately never deleted: the
  // writer thread waits on them until the process ends.
  os::Event* work_ready_ = nullptr;
  os::Event* writer_idle_ = nullptr;
};

}  // namespace ferrux::engine
