// Source digests in segments and the read-back check, over XXH3-128 from
// xxHash: on x86-64 Linux its library, which picks the widest vector unit
// the processor has at run time (the copy hashes each byte three times);
// elsewhere the header compiled in, so the Windows build ships no library.
#include "engine/chunk_digests.h"

#include <algorithm>
#include <new>

#ifdef FERRUX_XXHASH_DISPATCH
#include <xxh_x86dispatch.h>
#include <xxhash.h>
#else
#define XXH_INLINE_ALL
#include <xxhash.h>
#endif

namespace ferrux::engine {

struct Hash128::State {
  State() : xxh(XXH3_createState()) {
    if (xxh == nullptr) throw std::bad_alloc();
  }
  ~State() { (void)XXH3_freeState(xxh); }
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  XXH3_state_t* xxh;
};

Hash128::Hash128() : state_(std::make_unique<State>()) { Reset(); }
Hash128::~Hash128() = default;

// These fail only for a null state, which cannot be.
void Hash128::Reset() { (void)XXH3_128bits_reset(state_->xxh); }

void Hash128::Add(const void* data, std::size_t size) {
  (void)XXH3_128bits_update(state_->xxh, data, size);
}

Digest128 Hash128::Value() const {
  const XXH128_hash_t value = XXH3_128bits_digest(state_->xxh);
  return {value.high64, value.low64};
}

std::string HexDigits(const Digest128& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(32, '0');
  for (int i = 0; i < 16; ++i) {
    text[static_cast<std::size_t>(15 - i)] =
        kDigits[(digest.high >> (4 * i)) & 15];
    text[static_cast<std::size_t>(31 - i)] =
        kDigits[(digest.low >> (4 * i)) & 15];
  }
  return text;
}

void SourceDigests::Reset(std::vector<Segment> sealed) {
  sealed_ = std::move(sealed);
  position_ = sealed_.empty() ? 0 : sealed_.back().end;
  open_from_ = position_;
  open_.Reset();
}

void SourceDigests::Add(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const std::int64_t room = kSegmentLimit - position_ % kSegmentLimit;
    const std::size_t take = static_cast<std::size_t>(
        std::min<std::int64_t>(room, static_cast<std::int64_t>(size)));
    open_.Add(bytes, take);
    bytes += take;
    size -= take;
    position_ += static_cast<std::int64_t>(take);
    if (position_ % kSegmentLimit == 0) Seal();
  }
}

void SourceDigests::Seal() {
  if (position_ == open_from_) return;
  sealed_.push_back({position_, open_.Value()});
  open_.Reset();
  open_from_ = position_;
}

void SourceDigests::DropFrom(std::size_t index) {
  sealed_.resize(std::min(index, sealed_.size()));
  Reset(std::move(sealed_));
}

bool ReadBackCheck::Add(const unsigned char* data, std::size_t size) {
  while (size > 0 && segment_ < expected_.size()) {
    const Segment& segment = expected_[segment_];
    const std::size_t take = static_cast<std::size_t>(std::min<std::int64_t>(
        segment.end - position_, static_cast<std::int64_t>(size)));
    part_.Add(data, take);
    whole_.Add(data, take);
    data += take;
    size -= take;
    position_ += static_cast<std::int64_t>(take);
    if (position_ < segment.end) continue;
    if (part_.Value() != segment.digest) return false;
    part_.Reset();
    ++segment_;
  }
  return true;
}

}  // namespace ferrux::engine
