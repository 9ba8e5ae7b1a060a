#pragma once
/// How file times are read against this machine's clock: a version dated
/// ahead of it, one changed so lately it may still be being written, a
/// leftover old enough to be a killed run's.

#include <chrono>

#include "platform/FileStatus.h"

namespace quennel {

/// The skew a Windows domain tolerates between clocks: a time further ahead
/// of this machine's is a wrong clock or a trap, never a version due now.
inline constexpr std::chrono::seconds kClockSkew = std::chrono::minutes(5);
/// A source changed this lately may still be being written in place.
inline constexpr std::chrono::seconds kSettleWindow = std::chrono::minutes(10);
/// How long after the decision's look such a source is looked at again.
inline constexpr std::chrono::milliseconds kSettleLook{2'000};

/// `time` moved by `shift`, staying at the ends of the range rather than
/// overflowing.
FileStamp Shifted(FileStamp time, std::chrono::seconds shift);

/// Whether `time` lies more than kClockSkew ahead of `clock`.
inline bool AheadOf(const FileStamp& time, const FileStamp& clock) { return time > Shifted(clock, kClockSkew); }

/// Whether a file whose status last changed at `changed` has stood still
/// since long before `clock`: a zero time (a volume that keeps none) never has.
inline bool Settled(const FileStamp& changed, const FileStamp& clock) {
  return changed != FileStamp{} && changed < Shifted(clock, -kSettleWindow);
}

}  // namespace quennel
