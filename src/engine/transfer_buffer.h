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

// Raises both lock limits by `size` bytes; true when the system took it.
bool GrowWorkingSet(os::Platform& platform, std::uint32_t size);

}  // namespace ferrux::engine
