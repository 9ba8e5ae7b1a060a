#pragma once
/// The operations Quennel needs from the system it runs on, in four small
/// parts: its files, its process, its screen and its log. One backend per
/// platform implements each; the stages see only these.

#include "platform/Failures.h"
#include "platform/FileStatus.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Record.h"
#include "platform/Screen.h"

namespace quennel {

/// The parts, as the stages get them.
struct Platform {
  Files& files;
  Process& process;
  Screen& screen;
  Record& record;
};

/// Exit statuses.
inline constexpr int kExitUsage = 2;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitStarted = 0;

}  // namespace quennel
