// The block pipeline: buffers, reads ahead, and the writer thread.
#include "engine/block_pipeline.h"

#include <algorithm>

#include "engine/failure.h"
#include "engine/transfer_buffer.h"
#include "report/failure_report.h"

namespace ferrux::engine {
namespace {

// The most blocks in flight, as measured best on a local disk (the
// benchmark builds others with -DFERRUX_BLOCKS_IN_FLIGHT=N).
#ifdef FERRUX_BLOCKS_IN_FLIGHT
constexpr std::uint32_t kMostInFlight = FERRUX_BLOCKS_IN_FLIGHT;
#else
constexpr std::uint32_t kMostInFlight = 4;
#endif
// Reads begun and not yet ended, at most: two keep a device, or a share's
// round trips, busy; more would take the device's time from the writes on
// a local disk, where the copy waits for the writes anyway.
constexpr std::size_t kReadsAhead = 2;
// What any process may lock on the systems the program runs on.
constexpr std::size_t kUnprivilegedLock = std::size_t{8} << 20;

std::unique_ptr<os::Event> MakeEvent(os::Platform& platform,
                                     os::EventReset reset,
                                     os::InitialState initial) {
  os::Result<std::unique_ptr<os::Event>> event =
      platform.NewEvent(reset, initial);
  CheckLastError(platform, event.status);
  return std::move(event.value);
}

}  // namespace

std::uint32_t SlotsFor(std::uint32_t block,
                       const std::optional<os::LockLimits>& limits) {
#ifdef FERRUX_BLOCKS_IN_FLIGHT
  (void)block;  // the benchmark's builds take the number they are built for
  (void)limits;
  return kMostInFlight;
#else
  const std::size_t lockable =
      std::max(kUnprivilegedLock, limits ? limits->minimum : 0);
  return static_cast<std::uint32_t>(
      std::clamp<std::size_t>(lockable / block, 2, kMostInFlight));
#endif
}

BlockPipeline::~BlockPipeline() {
  Stop();
  // Reads still in flight land in the buffers: they are waited for first.
  // What they return no longer matters.
  for (; !in_flight_.empty(); in_flight_.pop_front()) {
    try {
      (void)reading_->EndRead();  // see above
    } catch (const Failure&) {
    }
  }
  GiveBack();
}

void BlockPipeline::GiveBack() {
  for (unsigned char* buffer : buffers_) platform_.FreePages(buffer, size_);
  buffers_.clear();
  free_.clear();
}

void BlockPipeline::TakeBuffers(std::uint32_t slots, std::uint32_t size) {
  if (slots == buffers_.size() && size == size_) return;
  GiveBack();
  size_ = size;
  for (std::uint32_t slot = 0; slot < slots; ++slot) {
    buffers_.push_back(static_cast<unsigned char*>(
        AllocLockedBuffer(platform_, console_, size)));
    free_.push_back(slot);
  }
  records_.assign(slots, Record{});
}

void BlockPipeline::StartReading(FileChannel& file, std::int64_t from,
                                 std::int64_t end) {
  reading_ = &file;
  ahead_ = file.ReadsAhead();
  asked_ = from;
  end_ = end;
  // A file read without running ahead is read at its position.
  if (!ahead_) file.Seek64(from);
}

void BlockPipeline::Collect() {
  const std::uint64_t head = head_.load(std::memory_order_acquire);
  for (; collected_ < head; ++collected_) {
    free_.push_back(records_[Ring(collected_)].slot);
  }
}

void BlockPipeline::RaiseWriterFailure() const {
  if (failed_.load(std::memory_order_acquire)) throw WriterFailed{failure_};
}

void BlockPipeline::WaitForWriter() {
  RaiseWriterFailure();
  slot_free_->Wait();
  RaiseWriterFailure();
}

bool BlockPipeline::MayEnter(bool wait) {
  const std::uint32_t due = pacer_.Due(platform_.TickCount());
  if (due == 0) return true;
  if (!wait) return false;
  platform_.Sleep(due);
  return true;
}

Block BlockPipeline::NextRead() {
  for (;;) {
    if (thread_ != nullptr) Collect();
    // Every free buffer gets a read, so the device always has the next
    // blocks to work on (on a share, their round trips overlap), as far
    // as the pacer lets them in.
    while (ahead_ && !free_.empty() && asked_ < end_ &&
           in_flight_.size() < kReadsAhead && MayEnter(in_flight_.empty())) {
      pacer_.Enter(size_, platform_.TickCount());
      const std::uint32_t slot = free_.front();
      reading_->BeginRead(buffers_[slot], size_, asked_);
      free_.pop_front();
      in_flight_.push_back({asked_, 0, slot, buffers_[slot]});
      asked_ += size_;
    }
    if (!in_flight_.empty()) {
      Block block = in_flight_.front();
      in_flight_.pop_front();
      block.length = reading_->EndRead();
      return block;
    }
    if (!ahead_ && !free_.empty() && asked_ < end_) {
      MayEnter(true);
      pacer_.Enter(size_, platform_.TickCount());
      const std::uint32_t slot = free_.front();
      free_.pop_front();
      const Block block{asked_, reading_->ReadBlock(buffers_[slot], size_),
                        slot, buffers_[slot]};
      asked_ += size_;
      return block;
    }
    if (asked_ >= end_ || thread_ == nullptr) return Block{asked_, 0, 0, {}};
    WaitForWriter();
  }
}

void BlockPipeline::Release(const Block& block) { free_.push_back(block.slot); }

void BlockPipeline::StartWriter(FileChannel& target, std::int64_t written,
                                OnWriterFailure on_failure) {
  target_ = &target;
  on_failure_ = on_failure;
  written_end_.store(written, std::memory_order_relaxed);
  work_ready_ =
      MakeEvent(platform_, os::EventReset::kAuto, os::InitialState::kClear);
  slot_free_ =
      MakeEvent(platform_, os::EventReset::kAuto, os::InitialState::kClear);
  os::Result<std::unique_ptr<os::Thread>> thread =
      platform_.StartThread(&ThreadEntry, this);
  CheckLastError(platform_, thread.status);
  thread_ = std::move(thread.value);
}

void BlockPipeline::Write(const Block& block, std::uint32_t length) {
  RaiseWriterFailure();
  const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
  records_[Ring(tail)] = {block.offset, length, block.length, block.slot};
  tail_.store(tail + 1, std::memory_order_release);
  work_ready_->Set();
}

void BlockPipeline::Drain() {
  if (thread_ == nullptr) return;
  while (head_.load(std::memory_order_acquire) !=
         tail_.load(std::memory_order_relaxed)) {
    WaitForWriter();
  }
  RaiseWriterFailure();
  Collect();
}

std::int64_t BlockPipeline::WrittenEnd() const {
  return written_end_.load(std::memory_order_acquire);
}

void BlockPipeline::Stop() {
  if (thread_ == nullptr) return;
  stop_.store(true, std::memory_order_release);
  work_ready_->Set();
  thread_.reset();
  Collect();
}

void BlockPipeline::ThreadEntry(void* self) {
  auto* pipeline = static_cast<BlockPipeline*>(self);
  // The outermost handler of the thread: a failure that no retry may follow
  // is offered to the system first (a debugger, where one is attached,
  // takes it there), then ends the process with the unhandled-failure
  // report.
  try {
    pipeline->Loop();
  } catch (...) {
    if (pipeline->on_failure_ == OnWriterFailure::kHandBack) {
      pipeline->failure_ = std::current_exception();
      pipeline->failed_.store(true, std::memory_order_release);
      pipeline->slot_free_->Set();
      return;
    }
    const Failure failure = CurrentFailure();
    pipeline->platform_.OfferUnhandled(failure.address());
    report::ReportUnhandledFailure(pipeline->console_, pipeline->platform_,
                                   pipeline->name_separators_, failure);
  }
}

void BlockPipeline::Loop() {
  for (std::uint64_t head = 0;; ++head) {
    while (head == tail_.load(std::memory_order_acquire)) {
      if (stop_.load(std::memory_order_acquire) &&
          head == tail_.load(std::memory_order_acquire)) {
        return;
      }
      work_ready_->Wait();
    }
    const Record record = records_[Ring(head)];
    WriteRecord(record);
    written_end_.store(record.offset + record.data, std::memory_order_release);
    head_.store(head + 1, std::memory_order_release);
    slot_free_->Set();
  }
}

void BlockPipeline::WriteRecord(const Record& record) {
  const std::uint32_t written = target_->WriteBlockAt(
      buffers_[record.slot], record.length, record.offset);
  if (written != record.length) {
    // A short write is a full volume, as the channel's own short write is.
    RaiseException("Not all bytes written: " +
                       std::to_string(static_cast<std::int32_t>(written)),
                   Cure::kWaiting);
  }
}

}  // namespace ferrux::engine
