#pragma once
/// The administrator's record on POSIX: a line to the system log socket,
/// which journald and every syslog daemon read.

#include <sys/types.h>

#include <ctime>
#include <string>

#include "platform/Record.h"

namespace quennel {

class SystemLog final : public Record {
public:
  void Write(RecordKind kind, const std::string& line) noexcept override;
  std::string UserNumber() override;
};

/// `line` as one syslog datagram, the form glibc's syslog(3) sends: facility
/// user, level info for an install and warning for the rest, the local time
/// `now`, the identity "quennel" and the process id:
/// "<14>Mar  2 09:15:00 quennel[4242]: installé : ...".
std::string SyslogDatagram(RecordKind kind, const std::string& line, std::time_t now, pid_t pid);

}  // namespace quennel
