// Failure classes, their messages, and the helpers that raise them.
#include "engine/failure.h"

// The C++ runtime's own header, for the names of foreign exceptions.
#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <typeinfo>

namespace ferrux::engine {

std::string IoMessage(std::uint32_t code) {
  switch (code) {
    case 2:
      return "File not found";
    case 3:
      return "Invalid filename";
    case 4:
      return "Too many open files";
    case 5:
      return "File access denied";
    case 100:
      return "Read beyond end of file";
    case 101:
      return "Disk full";
    case 106:
      return "Invalid numeric input";
    default:
      return "I/O error " + std::to_string(static_cast<std::int32_t>(code));
  }
}

std::string Win32Message(std::uint32_t code, const std::string& description) {
  std::string text = description;
  while (!text.empty()) {
    const auto last = static_cast<unsigned char>(text.back());
    if (last > ' ' && last != '.' && last != 0x7F) break;
    text.pop_back();
  }
  return "Win32 Error.  Code: " +
         std::to_string(static_cast<std::int32_t>(code)) + ".\n" + text;
}

namespace {

Cure CureOf(std::uint32_t code) {
  return IsRetriableCode(code) ? Cure::kWaiting : Cure::kNone;
}

}  // namespace

EInOutError::EInOutError(std::uint32_t code, const void* address)
    : Failure("EInOutError", IoMessage(code), address, code, CureOf(code)) {}

EWin32Error::EWin32Error(std::uint32_t code, const std::string& description,
                         const void* address)
    : Failure("EWin32Error", Win32Message(code, description), address, code,
              CureOf(code)) {}

Failure CurrentFailure() {
  try {
    throw;
  } catch (const Failure& failure) {
    return failure;
  } catch (const std::bad_alloc&) {
    return EOutOfMemory(nullptr);
  } catch (const std::exception& failure) {
    const char* mangled = typeid(failure).name();
    int status = 0;
    const std::unique_ptr<char, decltype(&std::free)> name(
        abi::__cxa_demangle(mangled, nullptr, nullptr, &status), &std::free);
    return Failure(name ? name.get() : mangled, failure.what(), nullptr);
  } catch (...) {
    return Failure("Exception", "", nullptr);
  }
}

// The raising helpers are never inlined, so that their return address is
// the place in the program that raised the failure.
[[gnu::noinline]] void RaiseException(std::string message, Cure cure) {
  throw Exception(std::move(message), __builtin_return_address(0), cure);
}

[[gnu::noinline]] void CheckIO(const os::Status& status) {
  if (status.ok()) return;
  throw EInOutError(status.code, __builtin_return_address(0));
}

[[gnu::noinline]] void CheckIO(std::uint32_t code) {
  if (code == 0) return;
  throw EInOutError(code, __builtin_return_address(0));
}

[[gnu::noinline]] void CheckLastError(os::Platform& platform,
                                      const os::Status& status) {
  if (status.ok()) return;
  throw EWin32Error(status.code, platform.DescribeError(status),
                    __builtin_return_address(0));
}

}  // namespace ferrux::engine
