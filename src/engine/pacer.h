// The pacer that holds a copy to a rate limit: each block may enter the
// pipeline once the time its predecessor takes at that rate has passed.
#pragma once

#include <cstdint>

namespace ferrux::engine {

// Blocks enter evenly spaced at `bytes_per_second`: over any stretch of
// time no more than that rate's worth of bytes plus one block enters, and
// while the copy keeps up, no less. Time lost to a slow link or disk is not
// made up later with a burst. A limit below one block per second still
// lets a block in at a time. Pure: the caller gives the time and waits.
// One thread.
class Pacer {
 public:
  // 0: no limit.
  explicit Pacer(std::uint64_t bytes_per_second = 0)
      : rate_(bytes_per_second) {}

  // How many milliseconds after tick `now` (milliseconds of a clock that
  // wraps at 2^32) the next block may enter.
  std::uint32_t Due(std::uint32_t now);
  // A block of `bytes` enters at tick `now`.
  void Enter(std::uint64_t bytes, std::uint32_t now);

 private:
  void Advance(std::uint32_t now);

  std::uint64_t rate_;
  bool started_ = false;
  std::uint32_t last_tick_ = 0;
  std::uint64_t now_us_ = 0;  // since the first block, in microseconds
  std::uint64_t due_us_ = 0;  // when the next block may enter
};

}  // namespace ferrux::engine
