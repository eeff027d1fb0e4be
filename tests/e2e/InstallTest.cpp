// The setup program, run for real against the Excel stand-in.
#include <gtest/gtest.h>

#include <algorithm>

#include "Harness.h"

namespace {

using Lines = std::vector<std::string>;

// What a setup run tells Excel when everything goes well.
Lines FullSetup(const std::wstring& AddInPath) {
  return {
      PutBool("Application.displayalerts", false),
      Get("Application.Workbooks"),
      Method("Workbooks.Add"),
      Get("Application.AddIns"),
      Method("AddIns.Add", TextByRef(AddInPath)),
      PutBool("AddIn.Installed", true),
      Get("Application.Workbooks"),
      Method("Workbooks.Close"),
      PutBool("Application.displayalerts", true),
      Method("Application.Quit"),
  };
}

std::wstring Instructions(const std::wstring& AddInPath) {
  return L"The Larkspan Addin has been placed in the directory: \n" + AddInPath +
         L"\nTo install: \n\t1) Open Excel.\n\t2) Under the 'Tools' menu, select Add-Ins."
         L"\n\t3) Click on the browse button and browse to the location above."
         L"\n\t4) After selecting the item, click 'OK'."
         L"\n\t5) Now that the Add-In appears in the list, make sure the box next to it is checked.  Then click 'OK'.";
}

// The one box a failed setup shows: the instructions, caption "Install", no icon, OK only, topmost.
void ExpectInstructions(const RunOutcome& Run, const std::wstring& AddInPath) {
  ASSERT_EQ(Run.Boxes.size(), 1u);
  const SeenBox& Box = Run.Boxes[0];
  EXPECT_EQ(Utf8(Box.Caption), "Install");
  EXPECT_EQ(Utf8(Box.Text), Utf8(Instructions(AddInPath)));
  EXPECT_FALSE(Box.AnyIcon);
  EXPECT_EQ(Box.Buttons, std::vector<std::wstring>{L"OK"});
  EXPECT_TRUE(Box.Topmost);
}

// Each case starts and ends with nothing of ours on the scratch drive's root.
class Install : public ::testing::Test {
 protected:
  void SetUp() override { ClearScratchDrive(); }
  void TearDown() override { ClearScratchDrive(); }
};

// The whole setup, as it goes on every machine it may meet.
class InstallOnMachine : public Install, public ::testing::WithParamInterface<Machine> {};

TEST_P(InstallOnMachine, AddsAndSwitchesOnTheAddInWithoutAWord) {
  const PlacedProgram Placed = PlaceSetup(NewCaseFolder(L"present"), true);
  PrepareMachine(GetParam());
  const RunOutcome Run = RunProgram(Placed.Program);
  EXPECT_TRUE(Run.Boxes.empty());
  const Journal Log = StandInJournal();
  EXPECT_EQ(Calls(Log), FullSetup(Placed.AddInPath));
  EXPECT_EQ(ReleaseProblems(Log), "");
  EXPECT_TRUE(Log.QuitCleanly());
}

INSTANTIATE_TEST_SUITE_P(Install, InstallOnMachine, ::testing::Values(PlainMachine, GermanMachine), MachineName);

TEST_F(Install, WithoutTheFileStillClosesExcelAndSaysNothing) {
  const PlacedProgram Placed = PlaceSetup(NewCaseFolder(L"absent"), false);
  PrepareStandIn();
  const RunOutcome Run = RunProgram(Placed.Program);
  EXPECT_TRUE(Run.Boxes.empty());
  const Journal Log = StandInJournal();
  EXPECT_EQ(Calls(Log), ExcelOpenedAndClosed());
  EXPECT_EQ(ReleaseProblems(Log), "");
}

TEST_F(Install, WithoutExcelShowsTheInstructionsOnce) {
  const PlacedProgram Placed = PlaceSetup(NewCaseFolder(L"no-excel"), true);
  PrepareStandIn();
  const ExcelUnregistered NoExcel;
  const RunOutcome Run = RunProgram(Placed.Program);
  ExpectInstructions(Run, Placed.AddInPath);
  EXPECT_FALSE(StandInStarted());
}

// A failing call sends the setup to the instructions; nothing after it reaches Excel.
class InstallFailure : public ::testing::TestWithParam<const char*> {};

TEST_P(InstallFailure, ShowsTheInstructionsAndStopsAtTheFailedCall) {
  const std::string Member = GetParam();
  const PlacedProgram Placed = PlaceSetup(NewCaseFolder(L"fails"), true);
  PrepareStandIn({"fail " + Member});
  const RunOutcome Run = RunProgram(Placed.Program);
  ExpectInstructions(Run, Placed.AddInPath);
  const Journal Log = StandInJournal();
  EXPECT_NE(Log.FailedCall(Member), nullptr) << Member << " was never called";
  EXPECT_EQ(Calls(Log), CallsUpToFailed(FullSetup(Placed.AddInPath), Member));
  EXPECT_EQ(ReleaseProblems(Log), "");
}

INSTANTIATE_TEST_SUITE_P(Install, InstallFailure,
                         ::testing::Values("Application.displayalerts", "Application.Workbooks", "Workbooks.Add",
                                           "Application.AddIns", "AddIns.Add", "AddIn.Installed", "Workbooks.Close",
                                           "Application.Quit"));

// Busy at start-up or busy on calls: either way the setup waits and completes.
class InstallBusy : public ::testing::TestWithParam<const char*> {};

TEST_P(InstallBusy, WaitsOutABusyExcel) {
  const PlacedProgram Placed = PlaceSetup(NewCaseFolder(L"busy"), true);
  PrepareStandIn({GetParam()});
  const RunOutcome Run = RunProgram(Placed.Program);
  EXPECT_TRUE(Run.Boxes.empty());
  const Journal Log = StandInJournal();
  EXPECT_EQ(std::count_if(Log.Events.begin(), Log.Events.end(), [](const auto& E) { return E.Kind == "busy"; }), 3);
  EXPECT_EQ(Calls(Log), FullSetup(Placed.AddInPath));
  EXPECT_EQ(ReleaseProblems(Log), "");
}

INSTANTIATE_TEST_SUITE_P(Install, InstallBusy, ::testing::Values("busy 3", "busycalls 3"));

// In a drive root the folder keeps its backslash, so the path has two in a row.
TEST_F(Install, InADriveRootPassesThePathWithADoubleBackslash) {
  const std::wstring Program = PlaceProgram(L"install.exe", L"R:\\");
  PlaceFile(L"R:\\Larkspan.xla");
  PrepareStandIn();
  const RunOutcome Run = RunProgram(Program);
  EXPECT_TRUE(Run.Boxes.empty());
  const Journal Log = StandInJournal();
  EXPECT_EQ(Calls(Log), FullSetup(L"R:\\\\Larkspan.xla"));
  EXPECT_EQ(ReleaseProblems(Log), "");
}

// The same root with Excel missing: the message shows the doubled path on its second line.
TEST_F(Install, InADriveRootShowsThePathAsComputed) {
  const std::wstring Program = PlaceProgram(L"install.exe", L"R:\\");
  PrepareStandIn();
  const ExcelUnregistered NoExcel;
  ExpectInstructions(RunProgram(Program), L"R:\\\\Larkspan.xla");
}

}  // namespace
