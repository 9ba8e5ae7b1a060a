#pragma once
/// When and how often a copy's progress is shown.

#include <chrono>
#include <cstdint>

#include "platform/Platform.h"

namespace quennel {

/// A quicker copy shows no progress at all, so it looks as it always did.
inline constexpr std::chrono::milliseconds kProgressDelay{500};
/// The shortest time between two redraws, so drawing never slows the copy.
inline constexpr std::chrono::milliseconds kProgressRedraw{50};

/// Told the bytes copied between chunks; hands the platform the fraction
/// once the copy has run for kProgressDelay, at most every kProgressRedraw
/// and always at the end. An unknown (zero) total shows nothing.
class CopyMeter {
public:
  explicit CopyMeter(Platform platform) : platform_(platform), start_(platform.process.Now()) {}
  void Update(std::uint64_t copied, std::uint64_t total);

private:
  Platform platform_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastShown_{};
  bool shown_ = false;
};

}  // namespace quennel
