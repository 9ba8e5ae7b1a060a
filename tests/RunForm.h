#pragma once
/// Runs Quennel on a test platform the way start-up does.

#include "platform/Platform.h"
#include "update/F_Main.h"

namespace quennel::testing {

/// Thrown by a test platform's End() so the test gets control back.
struct Ended {
  int status;
};

/// Runs Quennel through start-up's own runner; returns the exit status.
inline int RunForm(Platform platform, std::chrono::milliseconds busyWaitLimit = kBusyWaitLimit) {
  try {
    RunQuennel(platform, busyWaitLimit);
  } catch (const Ended& end) {
    return end.status;
  }
}

}  // namespace quennel::testing
