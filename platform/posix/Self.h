#pragma once
/// What Quennel's own process keeps of itself: its SIGPIPE disposition and
/// its file.

#include <string>

namespace quennel {

/// SIGPIPE is ignored while Quennel runs: a message written to a reader that
/// went away must not end the update. The disposition found is kept.
void IgnoreBrokenPipes();
/// Puts back the SIGPIPE disposition Quennel was started with, for the
/// program about to take over the process (an ignored signal stays ignored
/// across exec).
void RestoreBrokenPipes();

/// The running program's own file (from /proc/self/exe); empty when unknown.
std::string ExecutablePath();

}  // namespace quennel
