#pragma once
/// Running the real quennel binary as a user starts it, headless, with the
/// probe program standing in for the installed one; and the file helpers
/// the tests on real files share.

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace quennel::testing::real {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

class TempDir {
public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "quennel-test-XXXXXX").string();
    path = mkdtemp(pattern.data());
  }
  ~TempDir() { fs::remove_all(path); }
  fs::path operator/(const std::string& name) const { return path / name; }
  fs::path path;
};

inline std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteAll(const fs::path& path, const std::string& data, mode_t mode = 0755) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
  chmod(path.c_str(), mode);
}

inline void SetTime(const fs::path& path, time_t seconds, long nanoseconds = 0) {
  const timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

inline timespec TimeOf(const fs::path& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return st.st_mtim;
}

/// The probe program's bytes; a "new version" is the same program grown by
/// a tail of padding, so the running copy can tell which one it is.
inline std::string ProbeBytes(size_t padding = 0) { return ReadAll(PROBE_BINARY) + std::string(padding, 'N'); }

struct Outcome {
  int status = -1;  // exit status, or 128 + signal
  std::string err;  // what went to standard error
  pid_t pid = 0;
};

/// Runs `body` in a child process with only standard descriptors open and
/// no display; collects its standard error and exit status.
inline Outcome InChild(const std::function<int()>& body) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeFds[1], 2);
    close_range(3, ~0U, 0);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    _exit(body());
  }
  close(pipeFds[1]);
  Outcome outcome;
  outcome.pid = pid;
  char buffer[4096];
  for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) outcome.err.append(buffer, n);
  close(pipeFds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return outcome;
}

/// Replaces the current (child) process with Quennel (the built one, or a
/// copy another user can reach).
inline int ExecQuennel(const Args& args, const char* binary = QUENNEL_BINARY) {
  std::vector<char*> argv{const_cast<char*>(binary)};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  execv(binary, argv.data());
  return 120;
}

/// Starts Quennel in the background, headless, its program's report going
/// to `probeOut` and its standard error to `errOut`, with `preload` (a
/// library) loaded into it first if given.
inline pid_t Spawn(const Args& args, const fs::path& probeOut, const fs::path& errOut = "/dev/null",
                   const char* preload = nullptr) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (preload) {  // ahead of a sanitizer's runtime, which must then not insist on coming first
      setenv("LD_PRELOAD", preload, 1);
      setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
    }
    const int err = open(errOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(err, 2);
    close_range(3, ~0U, 0);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    setenv("PROBE_OUT", probeOut.c_str(), 1);
    _exit(ExecQuennel(args));
  }
  return pid;
}

inline int Wait(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

/// What the probe recorded about how it was started.
struct ProbeReport {
  bool ran = false;
  pid_t pid = 0;
  long long size = 0;
  Args args;
  Args fds;
  std::string sigpipe;  // "default" or "ignored"
};

inline std::string Unhex(const std::string& hex) {
  if (hex == "-") return "";
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out += char(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

inline ProbeReport ReadProbe(const fs::path& path) {
  ProbeReport report;
  std::istringstream in(ReadAll(path));
  for (std::string key, value; in >> key;) {
    std::getline(in >> std::ws, value);
    report.ran = true;
    if (key == "pid") report.pid = std::stoi(value);
    if (key == "size") report.size = std::stoll(value);
    if (key == "arg") report.args.push_back(Unhex(value));
    if (key == "fd") report.fds.push_back(value);
    if (key == "sigpipe") report.sigpipe = value;
  }
  return report;
}

/// `name`'s uid and primary group; nothing where there is no such user.
inline std::optional<std::pair<uid_t, gid_t>> UserIds(const char* name) {
  const passwd* p = getpwnam(name);
  return p ? std::optional(std::pair(p->pw_uid, p->pw_gid)) : std::nullopt;
}

/// In a child: becomes `uid` in group `gid` and the `groups`. False where refused.
inline bool Become(uid_t uid, gid_t gid, const std::vector<gid_t>& groups = {}) {
  return setgroups(groups.size(), groups.data()) == 0 && setresgid(gid, gid, gid) == 0 &&
         setresuid(uid, uid, uid) == 0;
}

/// The names in `folder` that Quennel's own files have (`.NAME.quennel~…`),
/// the lock file's included.
inline std::vector<std::string> OwnFilesIn(const fs::path& folder) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(folder))
    if (entry.path().filename().string().find(".quennel~") != std::string::npos)
      found.push_back(entry.path().filename().string());
  return found;
}

/// What stands at `path`, as `ls -l` and `cat` show it: whether it changed.
inline std::string Looks(const fs::path& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return "nothing";
  return std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + " " +
         std::to_string(st.st_nlink) + " " + (S_ISREG(st.st_mode) ? ReadAll(path) : "");
}

/// Opens `dir` to other users: they reach it, run the copy of Quennel put
/// there (the build folder may be closed to them) and write the probe's
/// record into `dir/out`.
inline void ShareWithOtherUsers(const TempDir& dir) {
  chmod(dir.path.c_str(), 0755);
  fs::copy_file(QUENNEL_BINARY, dir / "quennel");
  fs::create_directory(dir / "out");
  chmod((dir / "out").c_str(), 0777);
  setenv("PROBE_OUT", (dir / "out" / "probe.out").c_str(), 1);
}

}  // namespace quennel::testing::real
