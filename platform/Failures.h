#pragma once
/// How a platform operation fails. what() is always the system's own
/// description of the failure, formatted once by the backend that raised it.

#include <stdexcept>

namespace quennel {

/// A failed platform operation.
class PlatformError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

/// Refused because something else holds the file or the lock for now (an
/// open program, another run, a writer finishing); trying again later may
/// succeed.
class BusyError : public PlatformError {
public:
  using PlatformError::PlatformError;
};

/// Refused because the file is the image of a running program, which the
/// system will not replace but lets be renamed aside (Windows).
class RunningError : public BusyError {
public:
  using BusyError::BusyError;
};

/// Nothing by that name, for now: a replacing run may be between setting
/// the old version aside and putting the new one in.
class MissingError : public PlatformError {
public:
  using PlatformError::PlatformError;
};

/// The name is taken: an exclusive creation or a rename that never
/// replaces found something there.
class ExistsError : public PlatformError {
public:
  using PlatformError::PlatformError;
};

}  // namespace quennel
