#pragma once
/// The bounded wait for something another process holds for now.

#include <chrono>

#include "platform/Platform.h"

namespace quennel {

/// Pause between two tries at something busy.
inline constexpr std::chrono::milliseconds kBusyRetryPause{20};

/// Runs `step` until it stops failing as busy, pumping events and sleeping
/// between tries; once `limit` has passed, the last BusyError goes up.
template <class Step>
auto RetryWhileBusy(Platform& platform, std::chrono::milliseconds limit, Step&& step) {
  const auto deadline = platform.Now() + limit;
  while (true) {
    try {
      return step();
    } catch (const BusyError&) {
      if (platform.Now() >= deadline) throw;
    }
    platform.PumpEvents();
    platform.Pause(kBusyRetryPause);
  }
}

}  // namespace quennel
