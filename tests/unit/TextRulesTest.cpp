// Path and text rules that decide which add-in path the programs work on.
#include <gtest/gtest.h>

#include <optional>

#include "Platform.h"
#include "basUninstall.h"

namespace {

TEST(TextBeforeLastBackslash, CutsAtTheLastBackslash) {
  struct Case {
    std::wstring Folder;
    std::optional<std::wstring> Expected;  // nullopt: raises
  };
  const std::wstring Long16(32767, L'a');
  const Case Cases[] = {
      {L"C:\\Apps\\Larkspan\\Uninstall", L"C:\\Apps\\Larkspan"},
      {L"C:\\", L"C:"},
      {L"Uninstall", L""},
      {L"", L""},
      {L"\\\\server\\share\\Uninstall", L"\\\\server\\share"},
      // The arithmetic is 16-bit: a longer text, or a counter that has to step past 32767, raises.
      {std::wstring(32768, L'a') + L"\\x", std::nullopt},
      {Long16, std::nullopt},
      {Long16.substr(1), L""},
      {Long16.substr(1) + L"\\", Long16.substr(1)},
  };
  for (const auto& Case : Cases) {
    const std::wstring Label = Case.Folder.size() < 80 ? Case.Folder : L"length " + std::to_wstring(Case.Folder.size());
    if (Case.Expected) {
      EXPECT_EQ(TextBeforeLastBackslash(Case.Folder), *Case.Expected) << std::string(Label.begin(), Label.end());
    } else {
      EXPECT_THROW(TextBeforeLastBackslash(Case.Folder), Failure) << std::string(Label.begin(), Label.end());
    }
  }
}

TEST(ToAnsi, PassesOnlyTextTheCodePageHoldsExactly) {
  ASSERT_EQ(GetACP(), 1252u) << "these cases are written for code page 1252";
  EXPECT_EQ(ToAnsi(L"C:\\Apps\\Larkspan\\Larkspan.xla"), "C:\\Apps\\Larkspan\\Larkspan.xla");
  EXPECT_EQ(ToAnsi(L"C:\\Caf\u00e9\\Larkspan.xla"), "C:\\Caf\xe9\\Larkspan.xla");
  EXPECT_EQ(ToAnsi(L""), "");
  // Best fit would turn these into the look-alikes O and A, naming some other path.
  for (const wchar_t* Text : {L"C:\\\u03a9mega\\Larkspan.xla", L"C:\\\uff21pps\\Larkspan.xla", L"\u4e2d", L"\xd800"}) {
    EXPECT_THROW(ToAnsi(Text), Failure);
  }
}

}  // namespace
