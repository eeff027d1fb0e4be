#include "FileExists.h"

#include <windows.h>
#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

struct FileExistsCase {
  const char* Name;
  std::wstring Path;  // relative to the fixture folder unless empty
  bool Expected;
};

class FileExistsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The test root keeps hidden and system attributes, which the prefix's own temp folder may not.
    Folder = InFolder(TestRoot(), L"file-exists");
    CreateDirectoryW(Folder.c_str(), nullptr);
    Make(L"plain.xla", FILE_ATTRIBUTE_NORMAL);
    Make(L"readonly.xla", FILE_ATTRIBUTE_READONLY);
    Make(L"a-hidden.xla", FILE_ATTRIBUTE_HIDDEN);
    Make(L"b-system.xla", FILE_ATTRIBUTE_SYSTEM);
    Make(L"c-plain.xla", FILE_ATTRIBUTE_ARCHIVE);
    CreateDirectoryW((Folder + L"\\Addins").c_str(), nullptr);
    CreateDirectoryW((Folder + L"\\dir.xla").c_str(), nullptr);
  }

  static void Make(const wchar_t* Name, DWORD Attributes) {
    const std::wstring Path = Folder + L"\\" + Name;
    SetFileAttributesW(Path.c_str(), FILE_ATTRIBUTE_NORMAL);
    const HANDLE File =
        CreateFileW(Path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    CloseHandle(File);
    ASSERT_TRUE(SetFileAttributesW(Path.c_str(), Attributes));
    // The filter is only tested if the attribute really stuck on this file system.
    const DWORD Kept = Attributes & ~FILE_ATTRIBUTE_NORMAL;
    ASSERT_EQ(GetFileAttributesW(Path.c_str()) & Kept, Kept);
  }

  static std::wstring Folder;
};
std::wstring FileExistsTest::Folder;

TEST_F(FileExistsTest, AnswersOnlyForPresentOrdinaryFiles) {
  const FileExistsCase Cases[] = {
      {"empty text", L"", false},
      {"folder with trailing backslash", L"Addins\\", false},
      {"file with trailing backslash", L"plain.xla\\", false},
      {"folder", L"Addins", false},
      {"folder named like the file", L"dir.xla", false},
      {"plain file", L"plain.xla", true},
      {"read-only file", L"readonly.xla", true},
      {"hidden file", L"a-hidden.xla", false},
      {"system file", L"b-system.xla", false},
      {"missing file", L"missing.xla", false},
      {"file in a missing folder", L"nowhere\\plain.xla", false},
      {"pattern matching only a hidden file", L"a-*.xla", false},
      {"pattern matching hidden, system and an ordinary file", L"?-*.xla", true},
      {"pattern matching a folder only", L"Add*", false},
  };
  for (const auto& Case : Cases) {
    const std::wstring Path = Case.Path.empty() ? Case.Path : Folder + L"\\" + Case.Path;
    EXPECT_EQ(FileExists(Path), Case.Expected) << Case.Name;
  }
}

}  // namespace
