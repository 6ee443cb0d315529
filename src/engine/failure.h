// The program's failure classes and the two helpers that turn the OS
// layer's results into them: CheckIO (I/O codes) and CheckLastError
// (operating-system codes with the system's description).
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "os/platform.h"

namespace ferrux::engine {

// I/O codes of the program's own, beside the operating system's codes.
inline constexpr std::uint32_t kIoShortWrite = 101;
inline constexpr std::uint32_t kIoNotAllowed = 103;
inline constexpr std::uint32_t kIoNotOpenForOutput = 105;

// Whether waiting may cure a failure: decided once, where it is raised, so
// that every path that meets it (the writer thread's too) gets the same
// verdict.
enum class Cure { kNone, kWaiting };

// A failure: the name of its class as reports print it, a message (may be
// empty), the code address at which it was raised, the system's or the
// program's code (0 for none) and whether waiting may cure it.
class Failure : public std::exception {
 public:
  Failure(std::string class_name, std::string message, const void* address,
          std::uint32_t code = 0, Cure cure = Cure::kNone)
      : class_name_(std::move(class_name)),
        message_(std::move(message)),
        address_(address),
        code_(code),
        cure_(cure) {}

  const std::string& class_name() const { return class_name_; }
  const std::string& message() const { return message_; }
  const void* address() const { return address_; }
  std::uint32_t code() const { return code_; }
  bool retriable() const { return cure_ == Cure::kWaiting; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string class_name_;
  std::string message_;
  const void* address_;
  std::uint32_t code_;
  Cure cure_;
};

// A failure the program raises itself, with a fixed English message.
class Exception : public Failure {
 public:
  Exception(std::string message, const void* address, Cure cure = Cure::kNone)
      : Failure("Exception", std::move(message), address, 0, cure) {}
};

// A file or console operation failed; carries the I/O code.
class EInOutError : public Failure {
 public:
  EInOutError(std::uint32_t code, const void* address);
};

// An operating-system call failed; carries the system's error code.
class EWin32Error : public Failure {
 public:
  EWin32Error(std::uint32_t code, const std::string& description,
              const void* address);
};

// Whether a failure with this Win32 code (of an EInOutError or an
// EWin32Error) lies in the file system or the network and may pass: a
// share gone or not yet back, an I/O error, a time-out, a full volume.
// Codes that waiting cannot change (a name not found or too long, access
// refused, another run holding the copy, an invalid request, memory) are
// not.
bool IsRetriableCode(std::uint32_t code);

// The heap is exhausted.
class EOutOfMemory : public Failure {
 public:
  explicit EOutOfMemory(const void* address)
      : Failure("EOutOfMemory", "Out of memory", address) {}
};

// The failure in flight, as the reports show it: the program's own classes
// as they are, an exhausted heap as EOutOfMemory, any other exception
// under its C++ type name with its text. Only inside a catch block.
Failure CurrentFailure();

// The message EInOutError prints for an I/O code.
std::string IoMessage(std::uint32_t code);

// The message EWin32Error prints: the code and the system's description,
// trailing blanks, control characters and full stops removed.
std::string Win32Message(std::uint32_t code, const std::string& description);

// Raises Exception with `message`. The failure's address is the caller's.
[[noreturn]] void RaiseException(std::string message, Cure cure = Cure::kNone);

// Raises EInOutError when `status` carries a code; returns otherwise.
void CheckIO(const os::Status& status);
// Raises EInOutError for `code` unless it is 0.
void CheckIO(std::uint32_t code);

// Raises EWin32Error, with the system's description of the code, when
// `status` carries a code; returns otherwise.
void CheckLastError(os::Platform& platform, const os::Status& status);

}  // namespace ferrux::engine
