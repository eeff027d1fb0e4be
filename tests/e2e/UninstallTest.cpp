// The uninstall program's Excel part, run for real against the Excel stand-in.
#include <gtest/gtest.h>

#include "ExcelWindow.h"
#include "Harness.h"

namespace {

using Lines = std::vector<std::string>;

const std::wstring Warning =
    L"Microsoft Excel needs to be closed in order to uninstall 'Zorvik Larkspan'. "
    L"\nPlease close Excel and then click OK to continue.";

// The whole removal, as it goes on every machine it may meet.
class UninstallOnMachine : public ::testing::TestWithParam<Machine> {};

TEST_P(UninstallOnMachine, SwitchesTheAddInOffQuietlyWhenExcelIsNotRunning) {
  const PlacedProgram Placed = PlaceUninstall(NewCaseFolder(L"quiet"), true);
  PrepareMachine(GetParam(), {AddInInstalled});
  const RunOutcome Run = RunProgram(Placed.Program);
  EXPECT_TRUE(Run.Boxes.empty());
  const Journal Log = StandInJournal();
  EXPECT_EQ(Calls(Log), FullRemoval());
  EXPECT_EQ(ReleaseProblems(Log), "");
  EXPECT_TRUE(Log.QuitCleanly());
}

INSTANTIATE_TEST_SUITE_P(Uninstall, UninstallOnMachine, ::testing::Values(PlainMachine, GermanMachine), MachineName);

TEST(Uninstall, WarnsOnceBeforeTouchingExcelThenCarriesOn) {
  const PlacedProgram Placed = PlaceUninstall(NewCaseFolder(L"warns"), true);
  PrepareStandIn({AddInInstalled});
  const ExcelWindow Running;
  ASSERT_NE(Running.Window, nullptr);
  bool ExcelStartedBeforeOk = true;
  const RunOutcome Run = RunProgram(Placed.Program, [&](const SeenBox&) { ExcelStartedBeforeOk = StandInStarted(); });
  ASSERT_EQ(Run.Boxes.size(), 1u);
  const SeenBox& Box = Run.Boxes[0];
  EXPECT_EQ(Utf8(Box.Caption), "Uninstall");
  EXPECT_EQ(Utf8(Box.Text), Utf8(Warning));
  EXPECT_TRUE(Box.StopIcon);
  EXPECT_EQ(Box.Buttons, std::vector<std::wstring>{L"OK"});
  EXPECT_TRUE(Box.Topmost);
  EXPECT_FALSE(ExcelStartedBeforeOk);
  // The window is still there after OK; the removal goes on regardless.
  const Journal Log = StandInJournal();
  EXPECT_EQ(Calls(Log), FullRemoval());
  EXPECT_EQ(ReleaseProblems(Log), "");
}

TEST(Uninstall, LeavesAnAddInExcelDoesNotKnowAlone) {
  const PlacedProgram Placed = PlaceUninstall(NewCaseFolder(L"unknown-title"), true);
  PrepareStandIn();
  const RunOutcome Run = RunProgram(Placed.Program);
  EXPECT_TRUE(Run.Boxes.empty());
  const Journal Log = StandInJournal();
  const Lines Expected = {
      PutBool("Application.displayalerts", false),
      Get("Application.Workbooks"),
      Method("Workbooks.Add"),
      Failed(Get("Application.AddIns", TextByRef(L"Zorvik Larkspan"))),
      Get("Application.Workbooks"),
      Method("Workbooks.Close"),
      PutBool("Application.displayalerts", true),
      Method("Application.Quit"),
  };
  EXPECT_EQ(Calls(Log), Expected);
  EXPECT_EQ(ReleaseProblems(Log), "");
}

TEST(Uninstall, WithoutTheFileDoesNotLookTheAddInUp) {
  const PlacedProgram Placed = PlaceUninstall(NewCaseFolder(L"absent"), false);
  PrepareStandIn({AddInInstalled});
  const RunOutcome Run = RunProgram(Placed.Program);
  EXPECT_TRUE(Run.Boxes.empty());
  const Journal Log = StandInJournal();
  EXPECT_EQ(Calls(Log), ExcelOpenedAndClosed());
  EXPECT_EQ(ReleaseProblems(Log), "");
}

// A failing call ends the Excel part silently; nothing after it reaches Excel.
class UninstallFailure : public ::testing::TestWithParam<const char*> {};

TEST_P(UninstallFailure, StopsSilentlyAtTheFailedCall) {
  const std::string Member = GetParam();
  const PlacedProgram Placed = PlaceUninstall(NewCaseFolder(L"fails"), true);
  PrepareStandIn({AddInInstalled, "fail " + Member});
  const RunOutcome Run = RunProgram(Placed.Program);
  EXPECT_TRUE(Run.Boxes.empty());
  const Journal Log = StandInJournal();
  EXPECT_NE(Log.FailedCall(Member), nullptr) << Member << " was never called";
  EXPECT_EQ(Calls(Log), CallsUpToFailed(FullRemoval(), Member));
  EXPECT_EQ(ReleaseProblems(Log), "");
}

INSTANTIATE_TEST_SUITE_P(Uninstall, UninstallFailure,
                         ::testing::Values("Application.displayalerts", "Workbooks.Add", "AddIn.Installed",
                                           "Workbooks.Close", "Application.Quit"));

}  // namespace
