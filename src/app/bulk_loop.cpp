// The bulk transfer loop: the main thread reads block after block and hands
// each to the background writer; checkpoints and progress rows come once
// per report interval.
#include <algorithm>

#include "app/copy_job.h"
#include "app/progress_schedule.h"
#include "engine/failure.h"
#include "engine/transfer_buffer.h"
#include "report/progress.h"

namespace ferrux::app {

void RunBulkLoop(const Context& context, CopyFiles& files, const Plan& plan,
                 std::uint32_t block) {
  report::ConsoleOut& console = context.console;
  os::Platform& platform = context.platform;
  engine::FileChannel& source = files.source;
  engine::BackgroundWriter& writer = files.writer;
  void* const* const buffers = files.buffers.slots();
  const std::int64_t size = plan.source_size;

  // Buffer 1 comes before the writer and buffer 0 after it, so that a
  // failed second allocation finds the writer already idle.
  files.buffers.Take(1, console, block);
  std::uint32_t read_index = 0;
  writer.Start(files.target, buffers, block, files.on_writer_failure);
  files.buffers.Take(0, console, block);
  console.PrintLine({"Buffer Size = ", report::Number{block}});
  std::int64_t copied = plan.copied;  // read and handed to the writer
  std::int64_t copy_delta = 0;        // read since the last row
  report::PrintProgressHeader(console);
  const std::uint32_t start_tick = platform.TickCount();
  ProgressSchedule schedule(start_tick, kReportInterval);

  // Where the source lets reads run ahead, the block after next is asked
  // for as soon as the writer has written a buffer, so that the next read
  // is always under way before its block is needed (on a share two, each a
  // round trip away). Else each block is read while the writer writes the
  // one before.
  const bool ahead = source.ReadsAhead();
  std::int64_t asked = copied;
  struct {
    void* buffer = nullptr;
    std::uint32_t count = 0;
    std::int64_t at = 0;
  } tail_block;
  const auto ask = [&](std::uint32_t slot) {
    if (asked >= size) return;
    source.BeginRead(buffers[slot], block, asked);
    asked += block;
  };
  if (ahead) {
    ask(0);
    ask(1);
  }
  while (copied < size) {
    const std::uint32_t count =
        ahead ? source.EndRead() : source.ReadBlock(buffers[read_index], block);
    if (count == 0) engine::RaiseException("0 bytes readed");
    // A last block kept for the cache stays in its buffer until the
    // others are written.
    const bool tail = plan.tail_cached && copied + count >= size;
    if (tail) tail_block = {buffers[read_index], count, copied};
    if (!tail) writer.HandOff();
    // Hashed while the writer writes it, before the buffer is read into
    // again; never past the size measured at the start.
    if (plan.verify) {
      files.digests.Add(buffers[read_index],
                        static_cast<std::size_t>(
                            std::min<std::int64_t>(count, size - copied)));
    }
    if (ahead) {
      writer.WaitIdle();
      ask(read_index);
    }
    read_index ^= 1;
    copied += count;
    // Only the block that reaches the end of the source may be short.
    if (copied < size && count < block) {
      engine::RaiseException("Readed less then full buffer");
    }
    copy_delta += count;
    if (!schedule.Due(platform.TickCount()) && copied < size) continue;
    if (plan.resume) {
      // A checkpoint stores whole segments only, so a resumed run needs no
      // running hash of the part before the count.
      if (plan.verify) files.digests.Seal();
      files.size_file.Checkpoint(writer, files.target, copied);
    }
    const std::uint32_t now = platform.TickCount();
    const RowFigures row =
        ComputeRow(copy_delta, schedule.Elapsed(now), size - copied,
                   context.duration_separator);
    report::PrintProgressRow(console, copied, size - copied, copy_delta,
                             row.bytes_per_sec, row.time_rest);
    copy_delta = 0;
    schedule.Restart(now);
  }

  writer.WaitIdle();
  report::ReportCompletion(console, "Copying",
                           platform.TickCount() - start_tick,
                           size - plan.copied, context.duration_separator);
  // The target is never closed in between: another run could take it.
  console.RunStep("Reopen Target File...", [&] {
    files.target.ReopenCached();
    return "Ok";
  });
  // Before finishing marks the copy complete, so that no stored count
  // ever covers it unwritten.
  // Never past the size measured at the start (a growing source).
  if (tail_block.count != 0) {
    files.target.Seek64(tail_block.at);
    files.target.WriteBlock(tail_block.buffer,
                            static_cast<std::uint32_t>(std::min<std::int64_t>(
                                tail_block.count, size - tail_block.at)));
  }
}

}  // namespace ferrux::app
