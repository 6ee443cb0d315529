// Privilege enabling: every privilege of the process switched on before
// the target is preallocated, which the reservation of space may need.
#pragma once

#include "os/platform.h"

namespace ferrux::engine {

// Switches on every privilege of the process; refusals are silent. Raises
// EOutOfMemory only. Main thread, before the writer.
void EnablePrivileges(os::Platform& platform);

}  // namespace ferrux::engine
