// Runs the built program, which lies beside the test executable, as a child
// process in a chosen directory and collects its exit status and output.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace ferrux::test {

// Where the child's standard output goes.
enum class StdoutTo {
  kFile,      // the capture file (or device) given to RunProgram
  kClosed,    // no standard output at all (POSIX only)
  kBrokenPipe,  // a pipe nobody reads from any more (POSIX only)
  kTerminal,  // a raw pseudo-terminal, so the program sees a console
              // without any line-end translation (POSIX only)
};

struct Outcome {
  int exit_status = -1;  // 128 + signal number when killed by a signal
  std::string output;    // everything written to standard output
};

// Folder of the running test executable.
std::filesystem::path ExecutableDir();

// The program under test.
std::filesystem::path ProgramPath();

// Runs the program on `arguments` in `working_dir` and waits for it. With
// StdoutTo::kFile the output goes to `capture` and is read back when that
// is a regular file. Fails the current test if the child cannot start.
Outcome RunProgram(const std::vector<std::string>& arguments,
                   const std::filesystem::path& working_dir,
                   const std::filesystem::path& capture,
                   StdoutTo stdout_to = StdoutTo::kFile);

}  // namespace ferrux::test
