// The pacer.
#include "engine/pacer.h"

#include <algorithm>

namespace ferrux::engine {

void Pacer::Advance(std::uint32_t now) {
  // The tick difference, unsigned, is right across the counter's wrap.
  if (started_) now_us_ += std::uint64_t{now - last_tick_} * 1000;
  started_ = true;
  last_tick_ = now;
}

std::uint32_t Pacer::Due(std::uint32_t now) {
  if (rate_ == 0) return 0;
  Advance(now);
  if (due_us_ <= now_us_) return 0;
  return static_cast<std::uint32_t>((due_us_ - now_us_ + 999) / 1000);
}

void Pacer::Enter(std::uint64_t bytes, std::uint32_t now) {
  if (rate_ == 0) return;
  Advance(now);
  // Time lost meanwhile is not made up: the block's time counts from now
  // if it enters late. Microseconds of a block of at most 16 MiB stay far
  // within 64 bits.
  due_us_ = std::max(due_us_, now_us_) + (bytes * 1000000 + rate_ - 1) / rate_;
}

}  // namespace ferrux::engine
