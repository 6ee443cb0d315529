// Runs the built program, which lies beside the test executable, as a child
// process in the current folder and collects its exit status and output:
// CreateProcessA on Windows, fork (forkpty for a terminal) and execv on
// POSIX.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

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
inline Outcome RunProgram(const std::vector<std::string>& arguments,
                          const std::filesystem::path& capture,
                          StdoutTo stdout_to = StdoutTo::kFile) {
  Outcome outcome;
#ifdef _WIN32
  // Found beside the test executable. The program splits its command line
  // itself: quotes group, and there is no escape character. Arguments are
  // UTF-8, the line the program gets UTF-16.
  std::string utf8 = "ferrux.exe";
  for (const std::string& argument : arguments) utf8 += " \"" + argument + "\"";
  std::wstring line(utf8.size() + 1, L'\0');
  line.resize(static_cast<std::size_t>(::MultiByteToWideChar(
      CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), line.data(),
      static_cast<int>(line.size()))));
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = ::CreateFileA(capture.string().c_str(), GENERIC_WRITE, 0,
                                     &inherit, CREATE_ALWAYS, 0, nullptr);
  PROCESS_INFORMATION child{};
  DWORD code = 0;
  const bool ran =
      ::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                       nullptr, &startup, &child) &&
      ::WaitForSingleObject(child.hProcess, INFINITE) == WAIT_OBJECT_0 &&
      ::GetExitCodeProcess(child.hProcess, &code);
  for (HANDLE open : {startup.hStdOutput, child.hThread, child.hProcess}) {
    ::CloseHandle(open);
  }
  if (!ran) ADD_FAILURE() << "cannot run " << utf8 << ": " << ::GetLastError();
  outcome.exit_status = static_cast<int>(code);
#else
  std::string program = std::filesystem::read_symlink("/proc/self/exe")
                            .replace_filename("ferrux");
  std::vector<char*> argv{program.data()};
  for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  struct termios raw {};
  ::cfmakeraw(&raw);
  int terminal = -1;
  const pid_t pid = stdout_to == StdoutTo::kTerminal
                        ? ::forkpty(&terminal, nullptr, &raw, nullptr)
                        : ::fork();
  if (pid == 0) {           // only async-signal-safe calls from here on
    int out[2] = {-1, -1};  // [1]: the new standard output, none if closed
    if (stdout_to == StdoutTo::kBrokenPipe && ::pipe(out) == 0) ::close(out[0]);
    if (stdout_to == StdoutTo::kFile) {
      out[1] = ::open(capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    if (stdout_to != StdoutTo::kTerminal && ::dup2(out[1], 1) < 0) ::close(1);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  // The terminal is read to its end (EIO once the child has closed it)
  // before waiting, so that the child never blocks on a full terminal.
  char chunk[4096];
  for (ssize_t n; terminal >= 0 && (n = ::read(terminal, chunk, 4096)) > 0;) {
    outcome.output.append(chunk, static_cast<std::size_t>(n));
  }
  if (terminal >= 0) ::close(terminal);
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) {
    ADD_FAILURE() << "cannot run " << program;
  }
  outcome.exit_status =
      WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
#endif
  // A device such as /dev/full is not read: it would never end.
  if (stdout_to == StdoutTo::kFile &&
      std::filesystem::is_regular_file(capture)) {
    std::ifstream in(capture, std::ios::binary);
    outcome.output.assign(std::istreambuf_iterator<char>(in), {});
  }
  return outcome;
}

}  // namespace ferrux::test
