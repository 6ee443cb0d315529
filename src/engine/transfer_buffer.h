// Transfer buffers: page-aligned blocks straight from the page allocator,
// locked in memory where the system allows it, given back by their owner.
#pragma once

#include <cstdint>

#include "os/platform.h"
#include "report/console_out.h"

namespace ferrux::engine {

// A new zero-filled, page-aligned buffer of `size` bytes (at least 1),
// locked when possible. Raises Exception "No memory: <size>" when no memory
// can be had; prints "Buffer not locked" when the lock limit could be raised
// and the lock still failed. Main thread only.
void* AllocLockedBuffer(os::Platform& platform, report::ConsoleOut& console,
                        std::uint32_t size);

// The two transfer buffers of one run, given back when it goes (after
// everything that reads or writes them has stopped). Main thread.
class BufferPair {
 public:
  explicit BufferPair(os::Platform& platform) : platform_(platform) {}
  BufferPair(const BufferPair&) = delete;
  BufferPair& operator=(const BufferPair&) = delete;
  ~BufferPair();

  // Allocates slot 0 or 1 as AllocLockedBuffer does; once per slot.
  void* Take(std::size_t slot, report::ConsoleOut& console, std::uint32_t size);
  void* const* slots() const { return slots_; }

 private:
  os::Platform& platform_;
  void* slots_[2] = {nullptr, nullptr};
  std::uint32_t sizes_[2] = {0, 0};
};

// Raises both lock limits by `size` bytes; true when the system took it.
bool GrowWorkingSet(os::Platform& platform, std::uint32_t size);

}  // namespace ferrux::engine
