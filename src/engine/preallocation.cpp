// Target preallocation and privilege enabling.
#include "engine/preallocation.h"

#include "engine/failure.h"

namespace ferrux::engine {

std::int64_t RoundUpToMultiple(std::int64_t value, std::uint32_t unit) {
  const auto wide = static_cast<std::int64_t>(unit);
  const std::int64_t multiple = value / wide * wide;
  return multiple < value ? multiple + wide : multiple;
}

void PreallocateTarget(os::Platform& platform, report::ConsoleOut& console,
                       FileChannel& target, std::uint32_t unit,
                       std::int64_t wanted) {
  const std::int64_t current = target.Size64();
  if (current == wanted) return;
  console.Print({"Target File Preallocation..."});
  if (current < wanted && platform.IsNtFamily()) {
    if (!platform.ValidDataCallAvailable()) {
      console.PrintLine({"Fail"});
      return;
    }
    target.Seek64(wanted);
    target.TruncateHere();
    const os::Status reserved = platform.SetValidData(target.handle(), wanted);
    if (reserved.ok()) {
      console.PrintLine({"Ok"});
      return;
    }
    // Without reserved space the writer extends the file block by block;
    // the data up to the former length stays as it was.
    target.Seek64(RoundUpToMultiple(current, unit));
    target.TruncateHere();
    // A volume without room for the copy fails now, not blocks later.
    if (reserved.code == os::kErrorDiskFull) CheckIO(reserved);
    console.PrintLine({"Fail"});
    return;
  }
  target.Seek64(wanted);
  target.TruncateHere();
  console.PrintLine({"Ok"});
}

void EnablePrivileges(os::Platform& platform) {
  if (!platform.EnablePrivileges().ok()) throw EOutOfMemory(nullptr);
}

}  // namespace ferrux::engine
