// Windows only: names between the program's UTF-8 and the system's UTF-16,
// their lengths in the system's units, the names the system trims, and the
// volumes of folders.
#ifdef _WIN32
#include <gtest/gtest.h>

#include <utility>

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

// The system drops the dots and spaces that end a last part, but not from
// "." or "..", nor from any part of a \\?\ name: only those names are kept
// by the back end and refused as a source.
TEST(Win32Names, TrailingDotsAndSpaces) {
  const std::pair<const char*, bool> names[] = {
      {"trail.", true},   {"d:sp ", true},    {"a.\\b", false},
      {"dest\\.", false}, {"dest/..", false}, {"\\\\?\\C:\\trail.", false}};
  for (const auto& [name, trimmed] : names) {
    EXPECT_EQ(Win32Platform().MeasureName(name).leaf_trimmed, trimmed) << name;
  }
}

// The volume of a folder as the program names it (with "\\." after it):
// relative, in full, as \\?\..., or not there; its root is where it is
// mounted. A volume that cannot be asked would lift the limit on file
// sizes unseen.
TEST(Win32Names, VolumeOfFolders) {
  Win32Platform platform;
  const std::string here = Utf8(FullPathOf(L"."));
  const Result<Platform::Volume> volume = platform.VolumeOf(".");
  ASSERT_TRUE(volume.ok());
  EXPECT_FALSE(volume.value.mount_root);
  for (const std::string& name :
       {here + "\\.", "\\\\?\\" + here + "\\.", std::string("nowhere/.")}) {
    const Result<Platform::Volume> same = platform.VolumeOf(name);
    EXPECT_TRUE(same.ok() && same.value == volume.value) << name;
  }
  const Result<Platform::Volume> root = platform.VolumeOf(here.substr(0, 3));
  EXPECT_TRUE(root.ok() && root.value.mount_root);
}

}  // namespace
}  // namespace ferrux::os::win32
#endif
