// ConsoleOut: buffering, console detection and failure reporting of prints.
#include "report/console_out.h"

#include <algorithm>
#include <cstring>

#include "engine/failure.h"

namespace ferrux::report {

void Piece::AppendTo(std::string& out) const {
  switch (kind_) {
    case Kind::kText:
      out.append(text_);
      break;
    case Kind::kChar:
      out.push_back(character_);
      break;
    case Kind::kNumber: {
      const std::string digits = std::to_string(number_.value);
      if (number_.width > 0 &&
          digits.size() < static_cast<std::size_t>(number_.width)) {
        out.append(static_cast<std::size_t>(number_.width) - digits.size(),
                   ' ');
      }
      out.append(digits);
      break;
    }
  }
}

bool ConsoleOut::EnsureOpen() {
  if (open_) return true;
  const os::FileHandle handle =
      platform_.StandardHandle(os::StandardStream::kOutput);
  if (!handle.valid()) return false;
  const os::Result<bool> character = platform_.IsCharacterDevice(handle);
  if (!character.ok()) return false;
  handle_ = handle;
  console_ = character.value;
  open_ = true;
  used_ = 0;
  return true;
}

void ConsoleOut::Flush() {
  std::size_t done = 0;
  while (done < used_) {
    const os::Result<std::uint32_t> written = platform_.WriteFile(
        handle_, buffer_ + done, static_cast<std::uint32_t>(used_ - done));
    if (!written.ok() || written.value == 0) {
      if (failure_ == 0) {
        failure_ = written.ok() ? engine::kIoShortWrite : written.status.code;
      }
      break;
    }
    done += written.value;
  }
  // What could not be written is dropped: keeping it would repeat the
  // failure at every later print.
  used_ = 0;
}

void ConsoleOut::Append(std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t room = kBufferSize - used_;
    const std::size_t take = std::min(room, bytes.size());
    std::memcpy(buffer_ + used_, bytes.data(), take);
    used_ += take;
    bytes.remove_prefix(take);
    if (used_ == kBufferSize) Flush();
  }
}

void ConsoleOut::PrintLocked(std::initializer_list<Piece> pieces, bool line) {
  failure_ = 0;
  if (!EnsureOpen()) {
    engine::CheckIO(engine::kIoNotOpenForOutput);
  }
  std::string text;
  for (const Piece& piece : pieces) piece.AppendTo(text);
  if (line) text.append(line_end_);
  Append(text);
  if (console_) Flush();
  const std::uint32_t failure = failure_;
  failure_ = 0;
  engine::CheckIO(failure);
}

void ConsoleOut::Print(std::initializer_list<Piece> pieces) {
  std::lock_guard<std::mutex> lock(mutex_);
  PrintLocked(pieces, false);
}

void ConsoleOut::PrintLine(std::initializer_list<Piece> pieces) {
  std::lock_guard<std::mutex> lock(mutex_);
  PrintLocked(pieces, true);
}

void ConsoleOut::WriteOut() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!open_) return;
  failure_ = 0;
  Flush();
  const std::uint32_t failure = failure_;
  failure_ = 0;
  engine::CheckIO(failure);
}

bool ConsoleOut::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!open_) return true;
  failure_ = 0;
  Flush();
  open_ = false;
  const bool written = failure_ == 0;
  failure_ = 0;
  return written;
}

void ConsoleOut::PrintLineAndExit(std::string_view text, int status) {
  const std::lock_guard<std::mutex> lock(mutex_);
  failure_ = 0;
  if (EnsureOpen()) {
    Append(text);
    Append(line_end_);
    Flush();
  }
  platform_.ExitProcess(status);
  // The attribute does not travel through the virtual call.
  __builtin_unreachable();
}

}  // namespace ferrux::report
