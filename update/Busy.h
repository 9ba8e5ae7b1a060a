#pragma once
/// The bounded wait for something another process holds for now.

#include <chrono>
#include <optional>

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
  // The clock is read at the first refusal: a step that works at once, as
  // the everyday start does, costs nothing more.
  std::optional<std::chrono::steady_clock::time_point> start;
  const auto waited = [&] {
    const auto now = platform.process.Now();
    if (!start) start = now;
    return now - *start;
  };
  while (true) {
    try {
      return step();
    } catch (const BusyError&) {
      if (waited() >= limits.busy) throw;
    } catch (const MissingError&) {
      if (waited() >= limits.missing) throw;
    }
    platform.screen.PumpEvents();
    platform.process.Pause(kBusyRetryPause);
  }
}

}  // namespace quennel
