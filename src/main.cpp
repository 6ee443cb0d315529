// Entry point: wires the native platform and the console to the program and
// ends the process with the program's exit status.
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/program.h"
#include "os/native_platform.h"
#include "report/console_out.h"

int main(int argc, char** argv) {
  using namespace ferrux;
  const std::unique_ptr<os::Platform> platform = os::CreateNativePlatform();
  const os::Conventions& conventions = os::NativeConventions();
  std::vector<std::string> arguments;
  if (const std::optional<std::string> line = os::RawCommandLine()) {
    // The system's own splitting differs (backslash escapes); the program
    // splits the raw line itself and drops the program name.
    arguments = app::SplitCommandLine(*line);
    if (!arguments.empty()) arguments.erase(arguments.begin());
  } else {
    arguments.assign(argv + (argc > 0 ? 1 : 0), argv + argc);
  }
  // Static: a writer thread may still refer to the console while the
  // process ends.
  static report::ConsoleOut console(*platform, conventions.line_end);
  int status = app::RunProgram(*platform, conventions, console, arguments);
  // Output that cannot be written is a failure, even of a finished copy.
  if (!console.Close()) status = app::kExitFailure;
  platform->ExitProcess(status);
}
