// When the bulk loop takes a checkpoint and prints a row, and the figures of
// that row. All tick arithmetic is modulo 2^32, like the tick counter.
#pragma once

#include <cstdint>
#include <string>

namespace ferrux::app {

class ProgressSchedule {
 public:
  ProgressSchedule(std::uint32_t start_tick, std::uint32_t interval)
      : interval_(interval), next_report_(start_tick + interval) {}

  // Whether a row is due at `now`: the next report time is behind it. The
  // ticks are compared by their signed difference, so that the schedule
  // runs on unchanged when the counter wraps past 2^32 (every 49.7 days).
  bool Due(std::uint32_t now) const {
    return static_cast<std::int32_t>(now - next_report_) > 0;
  }

  // Milliseconds from the previous row (or the start) to `now`.
  std::uint32_t Elapsed(std::uint32_t now) const {
    return now - (next_report_ - interval_);
  }

  // The row at `now` has been printed; the next is due an interval later.
  void Restart(std::uint32_t now) { next_report_ = now + interval_; }

 private:
  std::uint32_t interval_;
  std::uint32_t next_report_;
};

struct RowFigures {
  std::int64_t bytes_per_sec = 0;
  std::string time_rest;  // estimate, "" when complete, "???" when unknown
};

// The rate of an interval of `elapsed_ms` that moved `delta` bytes, and the
// estimate of the time left for `rest` bytes at that rate.
RowFigures ComputeRow(std::int64_t delta, std::uint32_t elapsed_ms,
                      std::int64_t rest, char separator);

}  // namespace ferrux::app
