// Child processes for the end-to-end tests: CreateProcessA on Windows,
// fork (forkpty for a terminal) and execv on POSIX.
#include "support/program_runner.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <iterator>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace ferrux::test {
namespace {

std::string ReadCapture(const std::filesystem::path& capture) {
  if (!std::filesystem::is_regular_file(capture)) return {};
  std::ifstream in(capture, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace

#ifdef _WIN32

std::filesystem::path ExecutableDir() {
  char path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameA(nullptr, path, sizeof path);
  return std::filesystem::path(std::string(path, length)).parent_path();
}

Outcome RunProgram(const std::vector<std::string>& arguments,
                   const std::filesystem::path& working_dir,
                   const std::filesystem::path& capture, StdoutTo stdout_to) {
  EXPECT_EQ(stdout_to, StdoutTo::kFile) << "not available on Windows";
  // The program splits its command line itself: quotes group, and there
  // is no escape character.
  std::string line = "\"" + (ExecutableDir() / "ferrux.exe").string() + "\"";
  for (const std::string& argument : arguments) line += " \"" + argument + "\"";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const HANDLE out = ::CreateFileA(capture.string().c_str(), GENERIC_WRITE, 0,
                                   &inherit, CREATE_ALWAYS, 0, nullptr);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = out;
  PROCESS_INFORMATION process{};
  const BOOL started =
      ::CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                       working_dir.string().c_str(), &startup, &process);
  ::CloseHandle(out);
  if (!started) {
    ADD_FAILURE() << "cannot start " << line << ": " << ::GetLastError();
    return {};
  }
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(process.hProcess, &code);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return {static_cast<int>(code), ReadCapture(capture)};
}

#else

std::filesystem::path ExecutableDir() {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

Outcome RunProgram(const std::vector<std::string>& arguments,
                   const std::filesystem::path& working_dir,
                   const std::filesystem::path& capture, StdoutTo stdout_to) {
  const std::string program = (ExecutableDir() / "ferrux").string();
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  struct termios raw {};
  ::cfmakeraw(&raw);  // a console that translates no line ends
  int terminal = -1;
  const pid_t pid = stdout_to == StdoutTo::kTerminal
                        ? ::forkpty(&terminal, nullptr, &raw, nullptr)
                        : ::fork();
  if (pid == 0) {  // only async-signal-safe calls from here on
    int pipe_ends[2];
    if (stdout_to == StdoutTo::kClosed) ::close(1);
    if (stdout_to == StdoutTo::kBrokenPipe && ::pipe(pipe_ends) == 0) {
      ::close(pipe_ends[0]);
      ::dup2(pipe_ends[1], 1);
    }
    if (stdout_to == StdoutTo::kFile) {
      ::dup2(::open(capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    }
    if (::chdir(working_dir.c_str()) == 0) ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  Outcome outcome;
  // The terminal is read to its end (EIO once the child has closed it)
  // before waiting, so the child never blocks on a full terminal.
  char chunk[4096];
  for (ssize_t n;
       terminal >= 0 && (n = ::read(terminal, chunk, sizeof chunk)) != 0;) {
    if (n > 0) outcome.output.append(chunk, static_cast<std::size_t>(n));
    if (n < 0 && errno != EINTR) break;
  }
  if (terminal >= 0) ::close(terminal);
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) {
    ADD_FAILURE() << "cannot run " << program;
    return {};
  }
  outcome.exit_status =
      WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (stdout_to == StdoutTo::kFile) outcome.output = ReadCapture(capture);
  return outcome;
}

#endif

}  // namespace ferrux::test
