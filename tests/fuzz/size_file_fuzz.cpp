// Fuzz target: a size file of any contents read against temporary and
// source files of any size. It yields the stored count or one of the three
// reports, and a tail it does not recognise is never its own.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "resume/size_file.h"
#include "support/raised.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace ferrux;
  if (size < 4) return 0;
  // Two small lengths from the first bytes, the size file from the rest.
  const std::int64_t temp_size = data[0] | (data[1] << 8);
  const std::int64_t source_size = data[2] | (data[3] << 8);
  const auto read = static_cast<std::uint32_t>(
      std::min<std::size_t>(size - 4, resume::kRecordSize));
  resume::Record record{};
  std::copy(data + 4, data + 4 + read, record.begin());
  const resume::StoredCount stored = resume::DecodeRecord(record, read);
  std::int64_t count = 0;
  for (std::uint32_t i = read < 8 ? 0 : 8; i-- > 0;) {
    count = static_cast<std::int64_t>((static_cast<std::uint64_t>(count) << 8) |
                                      record[i]);
  }
  std::string expected;
  if (read != 0 && read < 8) {
    expected = "Exception: Strange Counter Size";
  } else if (count > temp_size) {
    expected = "Exception: Counter Size More Then Tmp File Size";
  } else if (count > source_size) {
    expected = "Exception: Counter Size More Then Src File Size";
  }
  const std::string raised = testing::Raised([&] {
    resume::ValidateCount(read, stored.count, temp_size, source_size);
  });
  const bool tagged =
      read >= 12 && std::equal(record.begin() + 8, record.begin() + 12, "FXS1");
  if (raised != expected || stored.count != count ||
      stored.tail_is_ours != (read <= 8 || tagged)) {
    std::abort();
  }
  return 0;
}
