// Which failures waiting may cure: the one classification that decides
// whether a failed copy is tried again.
#pragma once

#include <cstdint>
#include <string>

#include "engine/failure.h"

namespace ferrux::engine {

// Whether a failure with this Win32 code (of an EInOutError or an
// EWin32Error) lies in the file system or the network and may pass: a
// share gone or not yet back, an I/O error, a time-out, a full volume.
// Codes that waiting cannot change (a name not found or too long, access
// refused, another run holding the copy, an invalid request, memory) are
// not.
bool IsRetriableCode(std::uint32_t code);

// A retry found the share not back where the copy was: its folder on
// another file system, or the files the copy left missing.
class NotBackYet : public Exception {
 public:
  NotBackYet(std::string message, const void* address)
      : Exception(std::move(message), address) {}
};

// The target read back differs from the source: the next try copies
// again from the first part that differs, where the count now stands.
class TargetDiffers : public Exception {
 public:
  TargetDiffers(std::string message, const void* address)
      : Exception(std::move(message), address) {}
};

// Raises TargetDiffers with `message`; the failure's address is the
// caller's.
[[noreturn]] void RaiseTargetDiffers(std::string message);

// Raises NotBackYet with `message`; the failure's address is the caller's.
[[noreturn]] void RaiseNotBackYet(std::string message);

// Whether waiting may cure the failure in flight: an EInOutError or
// EWin32Error with a retriable code, NotBackYet, TargetDiffers, or a failure of
// the writer thread (BackgroundWriter's WriterFailed) that is one of these.
// Only inside a catch block.
bool CurrentFailureRetriable();

}  // namespace ferrux::engine
