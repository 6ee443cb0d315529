// The progress table and the completion line of the bulk transfer.
#include "report/progress.h"

#include "report/formats.h"

namespace ferrux::report {

void PrintProgressHeader(ConsoleOut& console) {
  console.PrintLine(
      {"     Copied        Rest   CopyDelta    Bytes/s TimeRest"});
}

void PrintProgressRow(ConsoleOut& console, std::int64_t copied,
                      std::int64_t rest, std::int64_t delta,
                      std::int64_t bytes_per_sec, std::string_view time_rest) {
  // The rate column is one narrower than the others, and the blank after
  // it stays even when no estimate follows.
  console.PrintLine({Number{copied, 11}, ' ', Number{rest, 11}, ' ',
                     Number{delta, 11}, ' ', Number{bytes_per_sec, 10}, ' ',
                     time_rest});
}

void ReportCompletion(ConsoleOut& console, std::string_view label,
                      std::uint32_t elapsed_ms, std::int64_t moved,
                      char separator) {
  console.Print(
      {label, " complete in ", FormatDuration(elapsed_ms / 1000, separator)});
  if (elapsed_ms != 0) {
    console.Print({", ", Number{moved * 1000 / elapsed_ms, 0}, " Bytes/s"});
  }
  console.PrintLine();
}

}  // namespace ferrux::report
