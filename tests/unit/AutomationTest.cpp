// The busy-server retry policy the automation wrapper and its message filter share, and the
// apartment that puts the filter in place.
#include "Automation.h"

#include <gtest/gtest.h>

namespace {

TEST(BusyRetryDelay, RetriesABusyServerForAboutThirtySeconds) {
  struct Case {
    DWORD ElapsedMs;
    DWORD RejectType;
    bool Retries;
  };
  const Case Cases[] = {
      {0, SERVERCALL_RETRYLATER, true},
      {BusyWaitLimitMs - 1, SERVERCALL_RETRYLATER, true},
      {BusyWaitLimitMs, SERVERCALL_RETRYLATER, false},
      {0, SERVERCALL_REJECTED, false},
  };
  for (const auto& Case : Cases) {
    const DWORD Delay = BusyRetryDelay(Case.ElapsedMs, Case.RejectType);
    if (Case.Retries) {
      // COM reads 100 or more as "retry after this many ms"; below 100 means "retry at once".
      EXPECT_GE(Delay, 100u) << Case.ElapsedMs;
      EXPECT_LT(Delay, 1000u) << Case.ElapsedMs;
    } else {
      EXPECT_EQ(Delay, static_cast<DWORD>(-1)) << Case.ElapsedMs << " " << Case.RejectType;
    }
  }
  EXPECT_GE(BusyWaitLimitMs, 25000u);
  EXPECT_LE(BusyWaitLimitMs, 35000u);
}

// The wrapper's own retry and the filter share one budget: a call the filter has ruled on is not
// tried again, so a busy Excel is waited for once, and a flat rejection is not waited for at all.
TEST(RejectionRetryDelay, RetriesOnlyRejectionsNoFilterHasRuledOn) {
  struct Case {
    HRESULT Result;
    bool FilterConsulted;
    DWORD ElapsedMs;
    bool Retries;
  };
  const Case Cases[] = {
      {RPC_E_CALL_REJECTED, false, 0, true},
      {RPC_E_SERVERCALL_RETRYLATER, false, 0, true},
      {RPC_E_CALL_REJECTED, false, BusyWaitLimitMs - 1, true},
      {RPC_E_CALL_REJECTED, false, BusyWaitLimitMs, false},
      {RPC_E_CALL_REJECTED, true, 0, false},
      {RPC_E_SERVERCALL_RETRYLATER, true, 0, false},
      {S_OK, false, 0, false},
      {DISP_E_EXCEPTION, false, 0, false},
      {CO_E_SERVER_EXEC_FAILURE, false, 0, false},
  };
  for (const auto& Case : Cases) {
    const DWORD Delay = RejectionRetryDelay(Case.Result, Case.FilterConsulted, Case.ElapsedMs);
    const auto Label = ::testing::Message() << std::hex << Case.Result << " consulted=" << Case.FilterConsulted
                                            << " elapsed=" << std::dec << Case.ElapsedMs;
    if (Case.Retries) {
      EXPECT_EQ(Delay, BusyRetryDelay(Case.ElapsedMs, SERVERCALL_RETRYLATER)) << Label;
    } else {
      EXPECT_EQ(Delay, static_cast<DWORD>(-1)) << Label;
    }
  }
}

// The policy only helps if the apartment really puts a filter in place for COM to consult.
TEST(ComApartment, InstallsTheBusyServerFilterForItsLifetime) {
  {
    const ComApartment Apartment;
    IMessageFilter* Current = nullptr;
    ASSERT_EQ(CoRegisterMessageFilter(nullptr, &Current), S_OK);
    ASSERT_NE(Current, nullptr);
    EXPECT_EQ(Current->RetryRejectedCall(nullptr, 0, SERVERCALL_RETRYLATER), BusyRetryDelay(0, SERVERCALL_RETRYLATER));
    EXPECT_EQ(Current->RetryRejectedCall(nullptr, BusyWaitLimitMs, SERVERCALL_RETRYLATER), static_cast<DWORD>(-1));
    IMessageFilter* Ours = nullptr;
    CoRegisterMessageFilter(Current, &Ours);
    Current->Release();
  }
  // Once the apartment is gone, COM is no longer initialised on this thread.
  EXPECT_TRUE(FAILED(CoRegisterMessageFilter(nullptr, nullptr)));
}

}  // namespace
