// BackgroundWriter: the writer thread and its hand-off.
#include "engine/background_writer.h"

#include "engine/failure.h"
#include "report/failure_report.h"

namespace ferrux::engine {
namespace {

std::unique_ptr<os::Event> MakeEvent(os::Platform& platform,
                                     os::EventReset reset,
                                     os::InitialState initial) {
  os::Result<std::unique_ptr<os::Event>> event =
      platform.NewEvent(reset, initial);
  CheckLastError(platform, event.status);
  return std::move(event.value);
}

}  // namespace

void BackgroundWriter::Start(FileChannel& target, void* const* slots,
                             std::uint32_t buffer_size,
                             OnWriterFailure on_failure) {
  target_ = &target;
  slots_ = slots;
  buffer_size_ = buffer_size;
  write_index_ = 0;
  on_failure_ = on_failure;
  work_ready_ =
      MakeEvent(platform_, os::EventReset::kAuto, os::InitialState::kClear);
  writer_idle_ =
      MakeEvent(platform_, os::EventReset::kManual, os::InitialState::kSet);
  os::Result<std::unique_ptr<os::Thread>> thread =
      platform_.StartThread(&ThreadEntry, this);
  CheckLastError(platform_, thread.status);
  thread_ = std::move(thread.value);
}

void BackgroundWriter::HandOff() {
  WaitIdle();
  writer_idle_->Reset();
  work_ready_->Set();
}

void BackgroundWriter::WaitIdle() {
  writer_idle_->Wait();
  if (failure_) throw WriterFailed{failure_};
}

void BackgroundWriter::Stop() {
  if (thread_ == nullptr) return;
  writer_idle_->Wait();
  stop_ = true;
  work_ready_->Set();
  thread_.reset();
}

void BackgroundWriter::ThreadEntry(void* self) {
  auto* writer = static_cast<BackgroundWriter*>(self);
  // The outermost handler of the thread: a failure that no retry may follow
  // is offered to the system first (a debugger, where one is attached,
  // takes it there), then ends the process with the unhandled-failure
  // report.
  try {
    writer->Loop();
  } catch (...) {
    if (writer->on_failure_ == OnWriterFailure::kHandBack) {
      writer->failure_ = std::current_exception();
      writer->writer_idle_->Set();
      return;
    }
    const Failure failure = CurrentFailure();
    writer->platform_.OfferUnhandled(failure.address());
    report::ReportUnhandledFailure(writer->console_, writer->platform_,
                                   writer->name_separators_, failure);
  }
}

void BackgroundWriter::Loop() {
  for (;;) {
    work_ready_->Wait();
    if (stop_) return;
    WriteNextBuffer();
    writer_idle_->Set();
  }
}

void BackgroundWriter::WriteNextBuffer() {
  // Always the whole block, also for the last one of the file: uncached
  // writes must be whole blocks; the surplus is cut off in finishing.
  const std::uint32_t written =
      target_->WriteBlockCounted(slots_[write_index_], buffer_size_);
  if (written != buffer_size_) {
    // A short write is a full volume, as the channel's own short write is.
    RaiseException("Not all bytes written: " +
                       std::to_string(static_cast<std::int32_t>(written)),
                   Cure::kWaiting);
  }
  write_index_ = static_cast<std::uint8_t>((write_index_ + 1) % 2);
}

}  // namespace ferrux::engine
