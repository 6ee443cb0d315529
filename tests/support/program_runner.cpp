// Child processes for the end-to-end tests: posix_spawn (forkpty for a
// terminal) on POSIX, CreateProcessA on Windows.
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
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;
#endif

namespace ferrux::test {
namespace {

std::string ReadCapture(const std::filesystem::path& capture) {
  if (!std::filesystem::is_regular_file(capture)) return {};
  std::ifstream in(capture, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

#ifndef _WIN32
int StatusOf(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  return 128 + WTERMSIG(wait_status);
}

// The child writes until it exits; reading up to end of file (EIO once
// the terminal's slave side is closed) before waiting cannot block it.
std::string Drain(int fd) {
  std::string out;
  char chunk[4096];
  ssize_t n;
  while ((n = ::read(fd, chunk, sizeof chunk)) > 0 ||
         (n < 0 && errno == EINTR)) {
    if (n > 0) out.append(chunk, static_cast<std::size_t>(n));
  }
  return out;
}
#endif

}  // namespace

#ifdef _WIN32

std::filesystem::path ExecutableDir() {
  char path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameA(nullptr, path, sizeof path);
  return std::filesystem::path(std::string(path, length)).parent_path();
}

std::filesystem::path ProgramPath() { return ExecutableDir() / "ferrux.exe"; }

Outcome RunProgram(const std::vector<std::string>& arguments,
                   const std::filesystem::path& working_dir,
                   const std::filesystem::path& capture, StdoutTo stdout_to) {
  if (stdout_to != StdoutTo::kFile) {
    ADD_FAILURE() << "only a capture file is supported on Windows";
    return {};
  }
  // The program splits its command line itself: quotes group, and there
  // is no escape character.
  std::string line = "\"" + ProgramPath().string() + "\"";
  for (const std::string& argument : arguments) line += " \"" + argument + "\"";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const HANDLE out = ::CreateFileA(capture.string().c_str(), GENERIC_WRITE,
                                   FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) {
    ADD_FAILURE() << "cannot create " << capture.string();
    return {};
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out;
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  const BOOL started = ::CreateProcessA(
      nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
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

std::filesystem::path ProgramPath() { return ExecutableDir() / "ferrux"; }

Outcome RunProgram(const std::vector<std::string>& arguments,
                   const std::filesystem::path& working_dir,
                   const std::filesystem::path& capture, StdoutTo stdout_to) {
  const std::string program = ProgramPath().string();
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  pid_t pid = -1;
  Outcome outcome;
  if (stdout_to == StdoutTo::kTerminal) {
    struct termios raw{};
    ::cfmakeraw(&raw);  // no LF to CR LF translation on the way out
    int terminal = -1;
    pid = ::forkpty(&terminal, nullptr, &raw, nullptr);
    if (pid == 0) {
      if (::chdir(working_dir.c_str()) == 0) ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    if (pid < 0) {
      ADD_FAILURE() << "forkpty failed";
      return {};
    }
    outcome.output = Drain(terminal);
    ::close(terminal);
  } else {
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addchdir_np(&actions, working_dir.c_str());
    int pipe_ends[2] = {-1, -1};
    if (stdout_to == StdoutTo::kClosed) {
      ::posix_spawn_file_actions_addclose(&actions, 1);
    } else if (stdout_to == StdoutTo::kBrokenPipe) {
      if (::pipe(pipe_ends) != 0) ADD_FAILURE() << "pipe failed";
      ::close(pipe_ends[0]);
      ::posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 1);
    } else {
      ::posix_spawn_file_actions_addopen(&actions, 1, capture.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    const int error =
        ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (pipe_ends[1] >= 0) ::close(pipe_ends[1]);
    if (error != 0) {
      ADD_FAILURE() << "cannot start " << program << ": " << error;
      return {};
    }
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  outcome.exit_status = StatusOf(status);
  if (stdout_to == StdoutTo::kFile) outcome.output = ReadCapture(capture);
  return outcome;
}

#endif

}  // namespace ferrux::test
