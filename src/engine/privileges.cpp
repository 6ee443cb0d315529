// Privilege enabling.
#include "engine/privileges.h"

#include "engine/failure.h"

namespace ferrux::engine {

void EnablePrivileges(os::Platform& platform) {
  if (!platform.EnablePrivileges().ok()) throw EOutOfMemory(nullptr);
}

}  // namespace ferrux::engine
