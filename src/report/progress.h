// The progress table and the completion line of the bulk transfer.
#pragma once

#include <cstdint>
#include <string_view>

#include "report/console_out.h"

namespace ferrux::report {

// The 55-character title line over the progress rows.
void PrintProgressHeader(ConsoleOut& console);

// One row: bytes copied, bytes left, bytes since the last row, the rate of
// the interval in bytes per second, and the estimated time left (may be
// empty). Counts wider than their columns are printed whole.
void PrintProgressRow(ConsoleOut& console, std::int64_t copied,
                      std::int64_t rest, std::int64_t delta,
                      std::int64_t bytes_per_sec, std::string_view time_rest);

// "<label> complete in <duration>[, <rate> Bytes/s]": `elapsed_ms` since the
// loop started (modulo 2^32), the rate averaged over `moved` bytes.
void ReportCompletion(ConsoleOut& console, std::string_view label,
                      std::uint32_t elapsed_ms, std::int64_t moved,
                      char separator);

}  // namespace ferrux::report
