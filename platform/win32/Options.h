#pragma once
/// quennel.exe's options, each only as the whole command line (two paths
/// are needed for an update, so none takes anything from what works): the
/// event source's registration and its removal, and a publisher's check of
/// a signed version.

#include <optional>
#include <string>

#include "platform/Platform.h"

namespace quennel::win32 {

/// Carries out the option the command tail `tail` is, alone (split as
/// CommandLineToArgvW splits it): the status to end with. Nothing where it
/// is no option.
std::optional<int> RunOption(const std::string& tail, Platform platform);

}  // namespace quennel::win32
