// BackgroundWriter: the writer thread and its hand-off.
#include "engine/background_writer.h"

#include "engine/failure.h"
#include "report/failure_report.h"

namespace ferrux::engine {
namespace {

os::Event* MakeEvent(os::Platform& platform, os::EventReset reset,
                     os::InitialState initial) {
  os::Result<std::unique_ptr<os::Event>> event =
      platform.NewEvent(reset, initial);
  CheckLastError(platform, event.status);
  return event.value.release();
}

}  // namespace

void BackgroundWriter::Start(FileChannel& target, void* const* slots,
                             std::uint32_t buffer_size) {
  target_ = &target;
  slots_ = slots;
  buffer_size_ = buffer_size;
  write_index_ = 0;
  os::Event* work_ready =
      MakeEvent(platform_, os::EventReset::kAuto, os::InitialState::kClear);
  writer_idle_ =
      MakeEvent(platform_, os::EventReset::kManual, os::InitialState::kSet);
  work_ready_ = work_ready;
  CheckLastError(platform_, platform_.StartThread(&ThreadEntry, this));
}

void BackgroundWriter::HandOff() {
  WaitIdle();
  writer_idle_->Reset();
  work_ready_->Set();
}

void BackgroundWriter::WaitIdle() { writer_idle_->Wait(); }

void BackgroundWriter::ThreadEntry(void* self) {
  auto* writer = static_cast<BackgroundWriter*>(self);
  // The outermost handler of the thread: a failure is offered to the
  // system first (a debugger, where one is attached, takes it there), then
  // ends the process with the unhandled-failure report.
  try {
    writer->Loop();
  } catch (...) {
    const Failure failure = CurrentFailure();
    writer->platform_.OfferUnhandled(failure.address());
    report::ReportUnhandledFailure(writer->console_, writer->platform_,
                                   writer->name_separators_, failure);
  }
}

void BackgroundWriter::Loop() {
  // Once WriterIdle is set after the last block, the main thread may go on
  // to end the run; from then on the writer touches only the events, which
  // live until the process ends, never this object.
  os::Event* const work_ready = work_ready_;
  os::Event* const writer_idle = writer_idle_;
  for (;;) {
    work_ready->Wait();
    WriteNextBuffer();
    writer_idle->Set();
  }
}

void BackgroundWriter::WriteNextBuffer() {
  // Always the whole block, also for the last one of the file: uncached
  // writes must be whole blocks; the surplus is cut off in finishing.
  const std::uint32_t written =
      target_->WriteBlockCounted(slots_[write_index_], buffer_size_);
  if (written != buffer_size_) {
    RaiseException("Not all bytes written: " +
                   std::to_string(static_cast<std::int32_t>(written)));
  }
  write_index_ = static_cast<std::uint8_t>((write_index_ + 1) % 2);
}

}  // namespace ferrux::engine
