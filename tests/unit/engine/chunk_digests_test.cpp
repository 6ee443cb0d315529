// Source digests, the read-back check and the digest table of the size file.
#include "engine/chunk_digests.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "resume/size_file.h"

namespace ferrux::engine {
namespace {

std::vector<unsigned char> Data(std::int64_t size) {
  std::minstd_rand random(7);
  std::vector<unsigned char> data(static_cast<std::size_t>(size));
  for (unsigned char& byte : data) byte = static_cast<unsigned char>(random());
  return data;
}

// A copy fed in pieces, sealed at checkpoints, stored and taken up again by
// a later run, gives the digests an uninterrupted run gives where no
// checkpoint falls; the read back of the same bytes matches them all and
// yields the whole file's digest, and a byte changed anywhere is caught
// in the segment that holds it, and there first.
TEST(Digests, ResumedAcrossStoredTableAndCheckedBack) {
  const std::int64_t size = 2 * kSegmentLimit + 12345;
  const std::vector<unsigned char> data = Data(size);
  SourceDigests digests;
  std::int64_t at = 0;
  for (const std::int64_t checkpoint :
       {std::int64_t{5000}, kSegmentLimit + 7, kSegmentLimit + 7, size}) {
    digests.Add(&data[static_cast<std::size_t>(at)],
                static_cast<std::size_t>(checkpoint - at));
    at = checkpoint;
    digests.Seal();
    // As a later run finds them in the size file.
    const std::vector<Segment> stored = resume::DecodeDigests(
        resume::EncodeDigests(digests.sealed()), checkpoint);
    ASSERT_EQ(stored, digests.sealed());
    digests.Reset(stored);
  }
  std::vector<std::int64_t> ends;
  for (const Segment& segment : digests.sealed()) ends.push_back(segment.end);
  EXPECT_EQ(ends,
            (std::vector<std::int64_t>{5000, kSegmentLimit, kSegmentLimit + 7,
                                       2 * kSegmentLimit, size}));
  Hash128 whole;
  whole.Add(data.data(), data.size());
  for (const std::int64_t flipped :
       {std::int64_t{-1}, std::int64_t{0}, kSegmentLimit + 6, size - 1}) {
    std::vector<unsigned char> target = data;
    if (flipped >= 0) target[static_cast<std::size_t>(flipped)] ^= 1;
    ReadBackCheck check(digests.sealed());
    bool same = true;
    for (std::size_t i = 0; same && i < target.size(); i += 1 << 20) {
      same = check.Add(&target[i],
                       std::min<std::size_t>(1 << 20, target.size() - i));
    }
    const std::size_t bad = flipped < 0          ? 5
                            : flipped == 0       ? 0
                            : flipped < size - 1 ? 2
                                                 : 4;
    EXPECT_EQ(same, flipped < 0) << flipped;
    EXPECT_EQ(check.first_bad(), bad) << flipped;
    if (same) {
      EXPECT_EQ(check.Whole(), whole.Value());
    }
  }
}

// A table is taken only whole and in order; segments past the count are
// dropped (an older program or a set-back count left them).
TEST(Digests, StoredTableTakenOnlyWhole) {
  const std::vector<Segment> segments{{4096, {1, 2}}, {8192, {3, 4}}};
  const std::vector<unsigned char> bytes = resume::EncodeDigests(segments);
  std::vector<unsigned char> torn = bytes;
  torn[bytes.size() - 1] ^= 1;
  const std::vector<unsigned char> disordered =
      resume::EncodeDigests({segments[1], segments[0]});
  const struct {
    std::vector<unsigned char> bytes;
    std::int64_t count;
    std::size_t kept;
  } rows[] = {{bytes, 8192, 2},
              {bytes, 8191, 1},
              {bytes, 0, 0},
              {{bytes.begin(), bytes.end() - 1}, 8192, 0},
              {torn, 8192, 0},
              {disordered, 8192, 0},
              {{'F', 'X', 'S', '1'}, 8192, 0}};
  for (const auto& row : rows) {
    const std::vector<Segment> kept =
        resume::DecodeDigests(row.bytes, row.count);
    EXPECT_EQ(kept,
              std::vector<Segment>(
                  segments.begin(),
                  segments.begin() + static_cast<std::ptrdiff_t>(row.kept)));
  }
}

}  // namespace
}  // namespace ferrux::engine
