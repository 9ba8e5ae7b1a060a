#include "platform/posix/Gui.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/posix/GuiModule.h"
#include "platform/posix/Self.h"
#include "platform/posix/SystemError.h"
#include "update/LineBreaks.h"
#include "update/Texts.h"

namespace quennel {
namespace {

constexpr const char* kModuleName = "quennel-fltk.so";

/// The window module's file: where the install rules put it relative to the
/// executable, else beside the executable (the build folder). Empty when
/// neither holds a regular file: headless.
std::string FindModule() {
  const std::string exe = ExecutablePath();
  if (exe.empty()) return {};
  const std::string folder = exe.substr(0, exe.rfind('/') + 1);
  for (const std::string& candidate :
       {folder + QUENNEL_MODULE_FROM_BINDIR + "/" + kModuleName, folder + kModuleName}) {
    struct stat info;
    if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode)) return candidate;
  }
  return {};
}

bool DisplayNamed() {
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x11 && *x11) || (wayland && *wayland);
}

/// Writes all of `text` to standard error; a failure is only a lost line,
/// never the end of the update (a reader gone would otherwise send SIGPIPE).
void WriteError(const std::string& text) {
  IgnoreBrokenPipes();
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = write(STDERR_FILENO, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

const QuennelGui* Gui::Module() {
  if (module_) {
    // Reconnect after Close(), for a box that comes after a failed start.
    if (!connected_) connected_ = module_->open() != 0;
    return connected_ ? module_ : nullptr;
  }
  if (tried_) return nullptr;
  tried_ = true;
  if (!DisplayNamed()) return nullptr;
  const std::string modulePath = FindModule();
  if (modulePath.empty()) return nullptr;
  UseUserLocale();  // the window's texts and input follow it
  IgnoreBrokenPipes();  // a display that goes away must not end the update
  // A missing module or missing GUI libraries mean headless, not failure.
  void* handle = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) return nullptr;
  auto entry = reinterpret_cast<QuennelGuiEntry>(dlsym(handle, "quennel_gui"));
  const QuennelGui* table = entry ? entry() : nullptr;
  if (!table || table->version != QUENNEL_GUI_VERSION || !table->open()) {
    dlclose(handle);
    return nullptr;
  }
  module_ = table;
  connected_ = true;
  return module_;
}

void Gui::Pump() {
  if (connected_) module_->pump();
}

void Gui::SetLabel(int index, const std::string& text) {
  if (auto* m = Module()) m->set_label(index, text.c_str());
}

void Gui::ShowWindow() {
  if (auto* m = Module()) m->show_window();
}

void Gui::Message(const std::string& text, int style, const std::string& title) {
  // A box the window can no longer show (the display went away) is written
  // out as in headless mode. A failed write is no failure of the update.
  if (auto* m = Module(); m && m->message(text.c_str(), style, title.c_str()) != 0) return;
  EndProgressLine();
  WriteError(title + "\n" + PlainLineBreaks(text) + "\n");
}

void Gui::Notice(const std::string& text) {
  if (connected_) return;
  EndProgressLine();
  WriteError(PlainLineBreaks(text) + "\n");
}

void Gui::Beep() {
  if (auto* m = Module()) m->beep();
}

void Gui::Pointer(int shape) {
  // Setting the default pointer needs no window: don't load one for it.
  if (!connected_ && shape == 0) return;
  if (auto* m = Module()) m->pointer(shape);
}

void Gui::Progress(double fraction) {
  if (auto* m = Module()) {
    m->progress(fraction);
    return;
  }
  ProgressLine(fraction);
}

void Gui::ProgressLine(double fraction) {
  // Logs and services get no progress: only a person at a terminal.
  if (!terminal_) terminal_ = isatty(STDERR_FILENO) == 1;
  if (!*terminal_) return;
  const int percent = static_cast<int>(std::clamp(fraction, 0.0, 1.0) * 100);
  if (percent == percentShown_) return;
  percentShown_ = percent;
  lineOpen_ = percent < 100;
  std::string line = "\r";
  line.append(texts::kProgressLine).append(std::to_string(percent)).append(texts::kPercent);
  if (!lineOpen_) line += '\n';
  WriteError(line);
}

void Gui::EndProgressLine() {
  if (!lineOpen_) return;
  lineOpen_ = false;
  WriteError("\n");
}

void Gui::Close() {
  EndProgressLine();
  if (!module_) return;
  // The toolkit may have written through the C library's buffers.
  std::fflush(nullptr);
  if (!connected_) return;
  module_->close();
  connected_ = false;
}

}  // namespace quennel
