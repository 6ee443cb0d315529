// The bulk transfer loop: the main thread takes block after block from the
// pipeline, which reads them ahead, and hands each to its writer;
// checkpoints and progress rows come once per report interval.
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
  engine::BlockPipeline& pipeline = files.pipeline;
  const std::int64_t size = plan.source_size;

  pipeline.TakeBuffers(engine::SlotsFor(block, platform.GetLockLimits()),
                       block);
  pipeline.StartWriter(files.target, plan.copied, files.on_writer_failure);
  console.PrintLine({"Buffer Size = ", report::Number{block}});
  std::int64_t copied = plan.copied;  // read and handed to the writer
  std::int64_t copy_delta = 0;        // read since the last row
  report::PrintProgressHeader(console);
  const std::uint32_t start_tick = platform.TickCount();
  ProgressSchedule schedule(start_tick, kReportInterval);

  pipeline.StartReading(files.source, copied, size);
  // A last block kept for the cache stays in its buffer until the others
  // are written.
  std::optional<engine::Block> tail_block;
  while (copied < size) {
    const engine::Block read = pipeline.NextRead();
    if (read.length == 0) engine::RaiseException("0 bytes readed");
    if (plan.tail_cached && copied + read.length >= size) {
      tail_block = read;
    } else {
      pipeline.Write(read, block);
    }
    // Hashed while the writer writes it; never past the size measured at
    // the start.
    if (plan.verify) {
      files.digests.Add(
          read.data, static_cast<std::size_t>(
                         std::min<std::int64_t>(read.length, size - copied)));
    }
    copied += read.length;
    // Only the block that reaches the end of the source may be short.
    if (copied < size && read.length < block) {
      engine::RaiseException("Readed less then full buffer");
    }
    copy_delta += read.length;
    if (!schedule.Due(platform.TickCount()) && copied < size) continue;
    if (plan.resume) {
      // A checkpoint stores whole segments only, so a resumed run needs no
      // running hash of the part before the count.
      if (plan.verify) files.digests.Seal();
      // The count stored never passes what the writer has written, and
      // so, once flushed, what is durable; reads go on meanwhile.
      pipeline.Drain();
      files.size_file.Checkpoint(files.target, pipeline.WrittenEnd());
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

  pipeline.Drain();
  report::ReportCompletion(console, "Copying",
                           platform.TickCount() - start_tick,
                           size - plan.copied, context.duration_separator);
  // The target is never closed in between: another run could take it.
  console.RunStep("Reopen Target File...", [&] {
    files.target.ReopenCached();
    return "Ok";
  });
  // Before finishing marks the copy complete, so that no stored count
  // ever covers it unwritten; never past the size measured at the start
  // (a growing source).
  if (tail_block) {
    files.target.Seek64(tail_block->offset);
    files.target.WriteBlock(
        tail_block->data, static_cast<std::uint32_t>(std::min<std::int64_t>(
                              tail_block->length, size - tail_block->offset)));
    pipeline.Release(*tail_block);
  }
}

}  // namespace ferrux::app
