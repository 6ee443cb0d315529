// Transfer buffers: allocation, locking and the lock-limit growth.
#include "engine/transfer_buffer.h"

#include "engine/failure.h"

namespace ferrux::engine {

void* AllocLockedBuffer(os::Platform& platform, report::ConsoleOut& console,
                        std::uint32_t size) {
  void* const address = platform.AllocatePages(size);
  if (address == nullptr) {
    RaiseException("No memory: " +
                   std::to_string(static_cast<std::int32_t>(size)));
  }
  if (platform.LockPages(address, size)) return address;
  // Locking is best effort: an unlocked buffer works, only slower under
  // memory pressure. A warning is due only when the limit could be raised
  // and the lock still failed.
  if (!GrowWorkingSet(platform, size)) return address;
  if (platform.LockPages(address, size)) return address;
  console.PrintLine({"Buffer not locked"});
  return address;
}

bool GrowWorkingSet(os::Platform& platform, std::uint32_t size) {
  const std::optional<os::LockLimits> current = platform.GetLockLimits();
  if (!current) return false;
  // Plain unsigned arithmetic of the platform's size type; the growth is
  // never undone.
  return platform.SetLockLimits(
      {current->minimum + size, current->maximum + size});
}

}  // namespace ferrux::engine
