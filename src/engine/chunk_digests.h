// Digests of the source taken as it is read, in segments, and the check of
// the target read back against them. XXH3-128 throughout: the whole-file
// value is the one a user checks the copy with later.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ferrux::engine {

struct Digest128 {
  std::uint64_t high = 0;
  std::uint64_t low = 0;
  bool operator==(const Digest128&) const = default;
};

// The 32 lowercase hexadecimal digits, high half first, as hash tools print
// an XXH3-128 value.
std::string HexDigits(const Digest128& digest);

// A running XXH3-128 (seed 0) over bytes fed in order.
class Hash128 {
 public:
  Hash128();
  ~Hash128();
  Hash128(const Hash128&) = delete;
  Hash128& operator=(const Hash128&) = delete;
  void Reset();
  void Add(const void* data, std::size_t size);
  Digest128 Value() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The digest of the source's bytes from the previous segment's end (or 0)
// up to `end`.
struct Segment {
  std::int64_t end = 0;
  Digest128 digest;
  bool operator==(const Segment&) const = default;
};

// Segments end at every multiple of this, and wherever a checkpoint seals
// one: at most this much is copied again after a mismatch, and the table
// costs 24 bytes per 16 MiB (1.5 KiB per GiB). It is the largest block, so
// a copy in the largest blocks has no segment other than these.
inline constexpr std::int64_t kSegmentLimit = std::int64_t{16} << 20;

// The source's digests, one per segment, and the open segment's running
// hash. A segment never needs a stored running hash: each checkpoint seals
// the open one, so what is stored with a count covers exactly the bytes
// before it. Main thread.
class SourceDigests {
 public:
  // Starts after `sealed` (ends strictly increasing), whose last end is
  // where the bytes fed next begin.
  void Reset(std::vector<Segment> sealed);
  // Feeds the source's next bytes.
  void Add(const void* data, std::size_t size);
  // Closes the open segment, if it holds any byte.
  void Seal();
  // Keeps the segments before `index` only; the open one is dropped too.
  void DropFrom(std::size_t index);
  // Where the bytes fed next begin.
  std::int64_t position() const { return position_; }
  const std::vector<Segment>& sealed() const { return sealed_; }

 private:
  std::vector<Segment> sealed_;
  std::int64_t position_ = 0;
  std::int64_t open_from_ = 0;
  Hash128 open_;
};

// Feeds the target's bytes, read back in order, and compares each segment
// as it completes; the whole file's digest comes along.
class ReadBackCheck {
 public:
  explicit ReadBackCheck(const std::vector<Segment>& expected)
      : expected_(expected) {}
  // Returns false from the first segment that differs on; no byte is fed
  // after that.
  bool Add(const unsigned char* data, std::size_t size);
  // The first segment that differs, or expected.size() while none does.
  std::size_t first_bad() const { return segment_; }
  Digest128 Whole() const { return whole_.Value(); }

 private:
  const std::vector<Segment>& expected_;
  std::size_t segment_ = 0;
  std::int64_t position_ = 0;
  Hash128 part_;
  Hash128 whole_;
};

}  // namespace ferrux::engine
