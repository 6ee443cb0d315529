// JobSettings: what one run copies, where to, in which block size, and how
// often a failed copy is tried again.
#pragma once

#include <cstdint>
#include <string>

namespace ferrux::app {

struct JobSettings {
  bool ordinary_mode = false;     // "/O": copy without a size file
  std::string source_name;        // exactly as typed
  std::string dest_dir;           // empty, or ending in the directory separator
  std::string base_name;          // file-name part of source_name
  std::uint32_t buffer_size = 0;  // power of two, 4096 to 16777216
  std::uint32_t retries = 0;      // "/R:n": tries after the first failure
  std::uint32_t wait_seconds = 30;  // "/W:s": before each retry
  bool verify = false;  // "/V": the target read back must equal the source
  // "/BW:rate": the copy's average rate at most this many bytes per second
  // (0: no limit).
  std::uint64_t rate_limit = 0;
  bool background = false;  // "/BG": the lowest CPU and I/O priority

  // The derived names are plain concatenations; nothing is normalised.
  std::string FinalTargetName() const { return dest_dir + base_name; }
  std::string TempTargetName() const { return FinalTargetName() + ".tmp"; }
  std::string SizeFileName() const { return FinalTargetName() + ".size"; }
};

}  // namespace ferrux::app
