/// Drives the window module the way the POSIX backend does, one command per
/// line of standard input, pumping events while it waits for the next:
///   open | show | busy | idle | beep | close | quit
///   label INDEX TEXT
///   progress FRACTION             (the copy's bar, 0 to 1)
///   message STYLE TITLE|TEXT      (in TEXT, \r and \n stand for CR and LF;
///                                 answers message-closed, or message-not-shown)
/// Each command answers one line on standard output, so a script can follow.
/// `close` also reports whether any descriptor would leak through exec.

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "platform/posix/GuiModule.h"

namespace {

std::string Unescape(const std::string& in) {
  std::string out;
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '\\' && i + 1 < in.size() && (in[i + 1] == 'r' || in[i + 1] == 'n')) {
      out += in[i + 1] == 'r' ? '\r' : '\n';
      ++i;
    } else {
      out += in[i];
    }
  }
  return out;
}

/// Descriptors above 2 that an exec would hand on.
int InheritableDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  const int own = dirfd(dir);
  while (const dirent* entry = readdir(dir)) {
    const int fd = std::atoi(entry->d_name);
    if (entry->d_name[0] == '.' || fd <= 2 || fd == own) continue;
    const int flags = fcntl(fd, F_GETFD);
    if (flags != -1 && !(flags & FD_CLOEXEC)) ++count;
  }
  closedir(dir);
  return count;
}

void Say(const std::string& line) {
  std::cout << line << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: gui_harness MODULE < commands\n";
    return 2;
  }
  // A step that never returns fails the test instead of hanging it.
  alarm(60);
  void* handle = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    std::cerr << "dlopen: " << dlerror() << "\n";
    return 2;
  }
  auto entry = reinterpret_cast<QuennelGuiEntry>(dlsym(handle, "quennel_gui"));
  const QuennelGui* gui = entry ? entry() : nullptr;
  if (!gui || gui->version != QUENNEL_GUI_VERSION) {
    std::cerr << "no usable quennel_gui table\n";
    return 2;
  }
  const int inheritedAtStart = InheritableDescriptors();

  // Standard input is read raw: a buffered stream could hold lines that
  // poll() no longer sees.
  std::string pending;
  bool ended = false;
  for (;;) {
    const size_t newline = pending.find('\n');
    if (newline == std::string::npos) {
      if (ended) break;
      pollfd in{0, POLLIN, 0};
      if (poll(&in, 1, 20) == 0) {
        gui->pump();
        continue;
      }
      char buffer[4096];
      const ssize_t n = read(0, buffer, sizeof buffer);
      if (n <= 0) {
        ended = true;
        if (!pending.empty() && pending.back() != '\n') pending += '\n';
      } else {
        pending.append(buffer, static_cast<size_t>(n));
      }
      continue;
    }
    const std::string line = pending.substr(0, newline);
    pending.erase(0, newline + 1);
    const size_t space = line.find(' ');
    const std::string command = line.substr(0, space);
    const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
    if (command == "open") {
      Say("open " + std::to_string(gui->open()));
    } else if (command == "label") {
      gui->set_label(std::atoi(rest.c_str()), rest.substr(rest.find(' ') + 1).c_str());
      Say("label");
    } else if (command == "progress") {
      gui->progress(std::atof(rest.c_str()));
      Say("progress");
    } else if (command == "show") {
      gui->show_window();
      Say("shown");
    } else if (command == "busy" || command == "idle") {
      gui->pointer(command == "busy" ? 4 : 0);
      Say(command);
    } else if (command == "beep") {
      gui->beep();
      Say("beep");
    } else if (command == "message") {
      const size_t bar = rest.find('|');
      const int style = std::atoi(rest.c_str());
      const std::string title = rest.substr(rest.find(' ') + 1, bar - rest.find(' ') - 1);
      const int shown = gui->message(Unescape(rest.substr(bar + 1)).c_str(), style, title.c_str());
      Say(shown ? "message-closed" : "message-not-shown");
    } else if (command == "close") {
      gui->close();
      const int leaked = InheritableDescriptors() - inheritedAtStart;
      Say(leaked == 0 ? "closed" : "closed leaking " + std::to_string(leaked));
    } else if (command == "quit") {
      Say("bye");
      return 0;
    } else {
      Say("unknown " + command);
    }
  }
  return 0;
}
