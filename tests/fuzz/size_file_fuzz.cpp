// Fuzz target: a size file of any contents read against temporary and
// source files of any size. It yields the stored count or one of the
// reports, and a tail it does not recognise is never its own.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "resume/size_file.h"
#include "resume/start.h"

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
  } else if (count > 0 && stored.stamped && stored.stamp.size != source_size) {
    expected =
        "Exception: Source File changed, delete .tmp and .size files to start "
        "over";
  }
  resume::StartFacts facts;
  facts.resumable = true;
  facts.source = {source_size, stored.stamp.last_write_unix_ns};
  facts.size_file_present = true;
  facts.size_file_bytes = read;
  facts.stored = stored;
  facts.tmp_size = temp_size;
  const auto yes = [] { return true; };
  const resume::StartDecision decision =
      resume::DecideStart(facts, {yes, yes, yes});
  const std::string raised = decision.start == resume::Start::kRefuse
                                 ? "Exception: " + decision.refusal
                                 : "";
  const bool tagged =
      read >= 12 && std::equal(record.begin() + 8, record.begin() + 12, "FXS1");
  if (raised != expected || stored.count != count ||
      stored.tail_is_ours != (read <= 8 || tagged)) {
    std::abort();
  }
  return 0;
}
