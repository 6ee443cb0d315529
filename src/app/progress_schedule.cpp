// The figures of a progress row.
#include "app/progress_schedule.h"

#include "report/formats.h"

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

}  // namespace ferrux::app
