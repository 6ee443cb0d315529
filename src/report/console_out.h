// ConsoleOut: the one buffered text channel on standard output. On a
// console every print is written out at once; redirected output goes out in
// 128-byte pieces and when the channel is closed.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>

#include "os/platform.h"

namespace ferrux::report {

// A number printed in decimal, right-aligned in `width` blanks (0: none).
struct Number {
  std::int64_t value;
  int width = 0;
};

// One piece of a print: a text, one character, or a number.
class Piece {
 public:
  Piece(std::string_view text) : text_(text) {}    // NOLINT: implicit by design
  Piece(const char* text) : text_(text) {}         // NOLINT
  Piece(const std::string& text) : text_(text) {}  // NOLINT
  Piece(char character)
      : character_(character), kind_(Kind::kChar) {}               // NOLINT
  Piece(Number number) : number_(number), kind_(Kind::kNumber) {}  // NOLINT

  // Appends the piece's bytes to `out`.
  void AppendTo(std::string& out) const;

 private:
  enum class Kind { kText, kChar, kNumber };
  std::string_view text_;
  char character_ = 0;
  Number number_{0, 0};
  Kind kind_ = Kind::kText;
};

// Prints may come from any thread; each print is written whole, never mixed
// with another thread's. A failed write raises EInOutError at the end of the
// print, on the thread that printed.
class ConsoleOut {
 public:
  static constexpr std::size_t kBufferSize = 128;

  ConsoleOut(os::Platform& platform, std::string_view line_end)
      : platform_(platform), line_end_(line_end) {}
  ConsoleOut(const ConsoleOut&) = delete;
  ConsoleOut& operator=(const ConsoleOut&) = delete;

  void Print(std::initializer_list<Piece> pieces);
  // Prints the pieces and a line end; with no pieces, ends the line.
  void PrintLine(std::initializer_list<Piece> pieces = {});

  // Writes out what is buffered now, as a console print would (before a
  // long wait); raises EInOutError when that fails.
  void WriteOut();

  // Writes out what is buffered and marks the channel not open; the
  // standard handle stays open. Returns false when a write failed.
  bool Close();

  // A step line: prints `announcement` (on a console it shows before the
  // step runs), runs `step`, and completes the line with what the step
  // returns ("Ok", "Fail"). A failure raised by the step leaves the line
  // open, for the failure report to continue it.
  template <class Step>
  void RunStep(const char* announcement, Step step) {
    Print({announcement});
    PrintLine({step()});
  }

  // The last words of a process: prints `text` and a line end, writes
  // everything out (failures to write are ignored) and ends the process
  // with `status` while still holding the channel, so that no other thread
  // prints after it.
  [[noreturn]] void PrintLineAndExit(std::string_view text, int status);

  std::string_view line_end() const { return line_end_; }

 private:
  // All private members run with mutex_ held.
  void PrintLocked(std::initializer_list<Piece> pieces, bool line);
  bool EnsureOpen();
  void Append(std::string_view bytes);
  void Flush();

  os::Platform& platform_;
  const std::string_view line_end_;
  std::mutex mutex_;
  os::FileHandle handle_;
  bool open_ = false;
  bool console_ = false;
  char buffer_[kBufferSize] = {};
  std::size_t used_ = 0;
  // First failure code of the print under way, 0 if none.
  std::uint32_t failure_ = 0;
};

}  // namespace ferrux::report
