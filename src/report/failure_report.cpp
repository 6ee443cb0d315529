// The two failure reports.
#include "report/failure_report.h"

#include <cstdio>

namespace ferrux::report {

void ReportFailure(ConsoleOut& console, const engine::Failure& failure) {
  console.PrintLine({"Exception ", failure.class_name()});
  if (!failure.message().empty()) {
    console.PrintLine({failure.message()});
  }
}

std::string FormatUnhandledFailure(std::string_view class_name,
                                   std::string_view module_name,
                                   std::uintptr_t offset,
                                   std::string_view message) {
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08X",
                static_cast<unsigned>(offset & 0xFFFFFFFFu));
  std::string text = "Exception ";
  text.append(class_name).append(" in module ").append(module_name);
  text.append(" at ").append(hex).append(".\n").append(message);
  if (!message.empty() && message.back() != '.') text.push_back('.');
  if (text.size() > 1023) text.resize(1023);
  return text;
}

std::string UnhandledFailureText(os::Platform& platform,
                                 std::string_view name_separators,
                                 const engine::Failure& failure) {
  const os::CodeLocation where = platform.LocateCode(failure.address());
  std::string_view module = where.module_file;
  const auto cut = module.find_last_of(name_separators);
  if (cut != std::string_view::npos) module.remove_prefix(cut + 1);
  return FormatUnhandledFailure(failure.class_name(), module, where.offset,
                                failure.message());
}

void ReportUnhandledFailure(ConsoleOut& console, os::Platform& platform,
                            std::string_view name_separators,
                            const engine::Failure& failure) {
  console.PrintLineAndExit(
      UnhandledFailureText(platform, name_separators, failure), 1);
}

}  // namespace ferrux::report
