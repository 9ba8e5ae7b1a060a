#include "platform/posix/SystemLog.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>

namespace quennel {

std::string SyslogDatagram(RecordKind kind, const std::string& line, std::time_t now, pid_t pid) {
  // The month in English whatever the locale: syslog's own format.
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  struct tm local {};
  localtime_r(&now, &local);
  char header[64];
  std::snprintf(header, sizeof header, "<%d>%s %2d %02d:%02d:%02d quennel[%d]: ",
                LOG_USER | (kind == RecordKind::Installed ? LOG_INFO : LOG_WARNING), kMonths[local.tm_mon % 12],
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(pid));
  return header + line;
}

void SystemLog::Write(RecordKind kind, const std::string& line) noexcept {
  // Not syslog(3): it sends on a blocking socket, and a stalled log daemon
  // would hold up the start. A line that cannot go at once is dropped.
  try {
    const std::string datagram = SyslogDatagram(kind, line, std::time(nullptr), getpid());
    const int log = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (log < 0) return;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", "/dev/log");
    sendto(log, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr*>(&address), sizeof address);
    close(log);
  } catch (...) {
    // Out of memory for a line: only the record is lost.
  }
}

std::string SystemLog::UserNumber() { return std::to_string(getuid()); }

}  // namespace quennel
