// Windows only: names between the program's UTF-8 and the system's UTF-16,
// and their lengths in the system's units.
#ifdef _WIN32
#include <gtest/gtest.h>

#include "os/win32/win32_platform.h"

namespace ferrux::os::win32 {
namespace {

TEST(Win32Names, EveryWideNameComesBackExactly) {
  const std::wstring names[] = {L"\u0141\u00F3d\u017A.bin", L"\u76EE\u5F55/x",
                                L"\U0001F600",
                                L"a\xD800"
                                L"b",
                                L"\xDC00"};
  for (const std::wstring& name : names) {
    EXPECT_EQ(Utf16(Utf8(name)), name) << Utf8(name);
  }
}

// Bytes that are no character, above all an overlong "/" or "\\", which
// would split a name where the system sees none.
TEST(Win32Names, MalformedBytesRefused) {
  for (const char* bytes : {"\xC0\xAF", "a\x80", "\xE2\x82", "\xF5\x80\x80\x80",
                            "\xE0\x80\xAF", "\xF0\x8F\xBF\xBF"}) {
    EXPECT_FALSE(Utf16(bytes).has_value()) << bytes;
  }
}

TEST(Win32Names, LengthsInUtf16Units) {
  const Platform::NameLengths length =
      Win32Platform().MeasureName("\xE7\x9B\xAE/\xF0\x9F\x98\x80.bin.size");
  EXPECT_EQ(length.whole, 13u);
  EXPECT_EQ(length.leaf, 11u);
  EXPECT_EQ(length.leaf_limit, 255u);
}

}  // namespace
}  // namespace ferrux::os::win32
#endif
