#pragma once
/// Runs Quennel on a test platform the way start-up does.

#include "platform/Platform.h"
#include "update/F_Main.h"

namespace quennel::testing {

/// Thrown by a test platform's End() so the test gets control back.
struct Ended {
  int status;
};

/// Creates F_Main and runs its load handler; an unhandled failure goes to
/// the platform's report. Returns the exit status.
inline int RunForm(Platform& platform, std::chrono::milliseconds busyWaitLimit = kBusyWaitLimit) {
  F_Main form(platform, busyWaitLimit);
  try {
    form.Form_Load();
  } catch (const Ended& end) {
    return end.status;
  } catch (const PlatformError& failure) {
    platform.ReportFailure(failure.what());
  }
  return kExitFailure;
}

}  // namespace quennel::testing
