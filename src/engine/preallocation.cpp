// Target preallocation.
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
  console.RunStep("Target File Preallocation...", [&] {
    if (current > wanted || !platform.IsNtFamily()) {
      target.Seek64(wanted);
      target.TruncateHere();
      return "Ok";
    }
    if (!platform.ValidDataCallAvailable()) return "Fail";
    const os::Status reserved =
        platform.ReserveSpace(target.handle(), current, wanted);
    if (reserved.ok()) return "Ok";
    // A volume without room for the copy fails now, not blocks later.
    if (reserved.code != os::kErrorNotSupported) CheckIO(reserved);
    // Without reserved space the writer extends the file block by block;
    // the data up to the former length stays as it was.
    const std::int64_t rounded = RoundUpToMultiple(current, unit);
    if (rounded != current) {
      target.Seek64(rounded);
      target.TruncateHere();
    }
    return "Fail";
  });
}

}  // namespace ferrux::engine
