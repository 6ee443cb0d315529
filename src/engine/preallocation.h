// Target preallocation: gives the target its final block-rounded length in
// one step before the bulk transfer, its space reserved where the system
// allows it.
#pragma once

#include <cstdint>

#include "engine/file_channel.h"
#include "os/platform.h"
#include "report/console_out.h"

namespace ferrux::engine {

// The smallest multiple of `unit` (not 0) that is not below `value`.
std::int64_t RoundUpToMultiple(std::int64_t value, std::uint32_t unit);

// Sets the length of `target` (open, uncached, writable) to `wanted`,
// printing "Target File Preallocation..." and "Ok" or "Fail" unless the
// length is already right. When the system refuses to reserve the space,
// the length goes back to the former one rounded up to `unit`, and the line
// ends in "Fail"; when the volume lacks room for it, EInOutError is raised
// after that. Raises the channel's failures. Main thread, before the writer.
void PreallocateTarget(os::Platform& platform, report::ConsoleOut& console,
                       FileChannel& target, std::uint32_t unit,
                       std::int64_t wanted);

}  // namespace ferrux::engine
