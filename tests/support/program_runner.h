// Runs the built program, which lies beside the test executable, as a child
// process in a chosen folder and collects its exit status and output.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace ferrux::test {

// Where the child's standard output goes.
enum class StdoutTo {
  kFile,        // the capture file (or device) given to RunProgram
  kClosed,      // no standard output at all (POSIX only)
  kBrokenPipe,  // a pipe nobody reads from any more (POSIX only)
  kTerminal,    // a raw pseudo-terminal: a console that translates no line
                // ends (POSIX only)
};

struct Outcome {
  int exit_status = -1;  // 128 + the signal's number when killed by one
  std::string output;    // what reached the capture file or the terminal
};

// Folder of the running test executable.
std::filesystem::path ExecutableDir();

// Runs the program on `arguments` in `working_dir` and waits for it; the
// capture file is read back when it is a regular file. Fails the current
// test if the child cannot be started.
Outcome RunProgram(const std::vector<std::string>& arguments,
                   const std::filesystem::path& working_dir,
                   const std::filesystem::path& capture,
                   StdoutTo stdout_to = StdoutTo::kFile);

}  // namespace ferrux::test
