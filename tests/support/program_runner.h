// Runs the built program, which lies beside the test executable, as a child
// process in the current folder and collects its exit status and output.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace ferrux::test {

// Where the child's standard output goes: the capture file (or device), or
// on POSIX only: nowhere, a pipe nobody reads any more, or a raw
// pseudo-terminal, a console that translates no line ends.
enum class StdoutTo { kFile, kClosed, kBrokenPipe, kTerminal };

struct Outcome {
  int exit_status = -1;  // 128 + the signal's number when killed by one
  std::string output;    // what reached a regular capture file or the terminal
};

// Fails the current test when the child cannot be run.
Outcome RunProgram(const std::vector<std::string>& arguments,
                   const std::filesystem::path& capture,
                   StdoutTo stdout_to = StdoutTo::kFile);

}  // namespace ferrux::test
