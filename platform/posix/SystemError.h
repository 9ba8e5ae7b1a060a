#pragma once
/// The system's own words for a failure, formatted once, here.

#include <string>

#include "platform/Failures.h"

namespace quennel {

/// Sets the user's locale, once. Only error texts and the window need it,
/// and loading it would be most of the cost of a plain launch, so it is set
/// when one of those first comes up.
void UseUserLocale();

/// strerror's text for `error`, in the user's locale.
std::string SystemText(int error);

/// Throws `Failure` (a PlatformError) with the system's text for `error`.
template <class Failure = PlatformError>
[[noreturn]] void Throw(int error) {
  throw Failure(SystemText(error));
}

/// Throws MissingError where a name leads nowhere (ENOENT, ENOTDIR), else
/// PlatformError; the system's text either way.
[[noreturn]] void ThrowLookupError(int error);

}  // namespace quennel
