// BackgroundWriter: a thread that writes each block the main thread hands
// it to the target, so that reading the next block overlaps writing this
// one. At most one block is ever in flight.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
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
// A failed write, where no retry may follow, ends the whole process from
// the writer thread with the unhandled-failure report (exit status 1);
// WriterIdle then stays clear, so the main thread can hand off nothing
// more, store no count and rename nothing. Where a retry may follow, the
// writer keeps the failure, sets WriterIdle and ends; the main thread's
// next wait raises it as WriterFailed, and every wait after that too.
//
// The thread lives as long as the object: its end waits until the writer
// is idle, stops the thread and joins it, so the buffers and the target
// may go after it.
enum class OnWriterFailure { kEndProcess, kHandBack };

// A failure of the writer thread, raised on the main thread.
struct WriterFailed {
  std::exception_ptr failure;
};

class BackgroundWriter {
 public:
  BackgroundWriter(os::Platform& platform, report::ConsoleOut& console,
                   std::string_view name_separators)
      : platform_(platform),
        console_(console),
        name_separators_(name_separators) {}
  BackgroundWriter(const BackgroundWriter&) = delete;
  BackgroundWriter& operator=(const BackgroundWriter&) = delete;
  ~BackgroundWriter() { Stop(); }

  // Creates the events and starts the thread. `slots` holds the two
  // buffers; slot 0 may be filled in after Start, before the first
  // HandOff. Raises EWin32Error when the thread or an event cannot be had.
  // Main thread, once.
  void Start(FileChannel& target, void* const* slots, std::uint32_t buffer_size,
             OnWriterFailure on_failure);

  // Gives the writer the slot filled last (the slots alternate, starting at
  // 0); returns without waiting for the write. Raises WriterFailed after a
  // failed write that was handed back. Main thread.
  void HandOff();

  // Returns once every block handed off has been written; raises
  // WriterFailed as HandOff does. Main thread.
  void WaitIdle();

  // Waits until the writer is idle, stops the thread and joins it; nothing
  // where none was started. Main thread.
  void Stop();

  bool started() const { return thread_ != nullptr; }

 private:
  static void ThreadEntry(void* self);
  void Loop();
  void WriteNextBuffer();

  os::Platform& platform_;
  report::ConsoleOut& console_;
  std::string_view name_separators_;
  FileChannel* target_ = nullptr;
  void* const* slots_ = nullptr;
  std::uint32_t buffer_size_ = 0;
  std::uint8_t write_index_ = 0;
  OnWriterFailure on_failure_ = OnWriterFailure::kEndProcess;
  // Written by the main thread before it sets WorkReady.
  bool stop_ = false;
  // Written by the writer before it sets WriterIdle for the last time.
  std::exception_ptr failure_;
  std::unique_ptr<os::Event> work_ready_;
  std::unique_ptr<os::Event> writer_idle_;
  std::unique_ptr<os::Thread> thread_;
};

}  // namespace ferrux::engine
