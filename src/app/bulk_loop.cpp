// The bulk transfer loop: the main thread reads block after block and hands
// each to the background writer; checkpoints and progress rows come once
// per report interval.
#include "app/copy_job.h"
#include "app/progress_schedule.h"
#include "engine/failure.h"
#include "engine/transfer_buffer.h"
#include "report/formats.h"
#include "report/progress.h"

namespace ferrux::app {

RowFigures ComputeRow(std::int64_t delta, std::uint32_t elapsed_ms,
                      std::int64_t rest, char separator) {
  RowFigures row;
  if (elapsed_ms == 0) {
    row.time_rest = "???";
    return row;
  }
  row.bytes_per_sec = delta * 1000 / elapsed_ms;
  if (rest <= 0) return row;
  // A rate of 0 (less than a byte per second) gives no estimate.
  if (row.bytes_per_sec == 0) {
    row.time_rest = "???";
  } else {
    row.time_rest = report::FormatDuration(
        static_cast<std::uint32_t>(rest / row.bytes_per_sec), separator);
  }
  return row;
}

void RunBulkLoop(CopyJob& job) {
  TransferCounters& c = job.counters;
  report::ConsoleOut& console = job.console;
  const std::uint32_t block = job.settings.buffer_size;

  // Buffer 1 comes before the writer and buffer 0 after it, so that a
  // failed second allocation finds the writer already idle.
  job.buffers[1] = engine::AllocLockedBuffer(job.platform, console, block);
  std::uint32_t read_index = 0;
  job.writer.Start(job.target, job.buffers, block);
  job.buffers[0] = engine::AllocLockedBuffer(job.platform, console, block);
  console.PrintLine({"Buffer Size = ", report::Number{block}});
  c.copy_delta = 0;
  report::PrintProgressHeader(console);
  c.rest_at_start = c.source_size - c.copied;
  const std::uint32_t start_tick = job.platform.TickCount();
  ProgressSchedule schedule(start_tick, kReportInterval);

  // Where the source lets reads run ahead (a network share), the block
  // after next is asked for as soon as the writer has written a buffer, so
  // that two reads, each a round trip away, are always under way. Else each
  // block is read while the writer writes the one before.
  const bool ahead = job.source.ReadsAhead();
  std::int64_t asked = c.copied;
  const auto ask = [&](std::uint32_t slot) {
    if (asked >= c.source_size) return;
    job.source.BeginRead(job.buffers[slot], block, asked);
    asked += block;
  };
  if (ahead) {
    ask(0);
    ask(1);
  }
  while (c.copied < c.source_size) {
    const std::uint32_t count =
        ahead ? job.source.EndRead()
              : job.source.ReadBlock(job.buffers[read_index], block);
    if (count == 0) engine::RaiseException("0 bytes readed");
    job.writer.HandOff();
    if (ahead) {
      job.writer.WaitIdle();
      ask(read_index);
    }
    read_index ^= 1;
    c.copied += count;
    // Only the block that reaches the end of the source may be short.
    if (c.copied < c.source_size && count < block) {
      engine::RaiseException("Readed less then full buffer");
    }
    c.copy_delta += count;
    if (!schedule.Due(job.platform.TickCount()) && c.copied < c.source_size) {
      continue;
    }
    if (job.resume_mode) {
      job.size_file.Checkpoint(job.writer, job.target, c.copied);
    }
    const std::uint32_t now = job.platform.TickCount();
    const RowFigures row =
        ComputeRow(c.copy_delta, schedule.Elapsed(now),
                   c.source_size - c.copied, job.duration_separator);
    c.bytes_per_sec = row.bytes_per_sec;
    report::PrintProgressRow(console, c.copied, c.source_size - c.copied,
                             c.copy_delta, c.bytes_per_sec, row.time_rest);
    c.copy_delta = 0;
    schedule.Restart(now);
  }

  job.writer.WaitIdle();
  report::ReportCompletion(console, "Copying",
                           job.platform.TickCount() - start_tick,
                           c.rest_at_start, job.duration_separator);
  // The target is never closed in between: another run could take it.
  console.Print({"Reopen Target File..."});
  job.target.ReopenCached();
  console.PrintLine({"Ok"});
}

}  // namespace ferrux::app
