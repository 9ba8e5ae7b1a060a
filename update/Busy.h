#pragma once
/// The bounded wait for something another process holds for now.

#include <chrono>

#include "platform/Platform.h"

namespace quennel {

/// Pause between two tries at something busy.
inline constexpr std::chrono::milliseconds kBusyRetryPause{20};

/// How long each kind of passing refusal is tried again.
struct RetryLimits {
  std::chrono::milliseconds busy;
  std::chrono::milliseconds missing{0};
};

/// Runs `step` until it stops failing as busy (or as missing), pumping
/// events and sleeping between tries; once the limit for that kind of
/// refusal has passed, the last error goes up.
template <class Step>
auto RetryWhileBusy(Platform platform, RetryLimits limits, Step&& step) {
  const auto start = platform.process.Now();
  while (true) {
    try {
      return step();
    } catch (const BusyError&) {
      if (platform.process.Now() - start >= limits.busy) throw;
    } catch (const MissingError&) {
      if (platform.process.Now() - start >= limits.missing) throw;
    }
    platform.screen.PumpEvents();
    platform.process.Pause(kBusyRetryPause);
  }
}

}  // namespace quennel
