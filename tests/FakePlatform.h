#pragma once
/// An in-memory platform for driving F_Main in tests: files with contents
/// and times, failures to inject, and a record of everything the user would
/// see (window, labels, boxes, beeps, pointer) and what was started.

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/WindowsQuoting.h"
#include "tests/RunForm.h"
#include "update/F_Main.h"

namespace quennel::testing {

struct FakeFile {
  std::string data;
  FileStamp time;
  bool directory = false;
};

struct ShownMessage {
  std::string text;
  MessageStyle style;
  std::string title;  // "<none>" when no title was given
  bool windowVisible;  // whether the progress window was on screen behind it
  bool lockHeld;       // whether a run's lock was held while it waited for a click
};

class FakePlatform : public Files, public Process, public Screen, public Record {
public:
  // Set up by the test.
  std::string tail;
  std::map<std::string, FakeFile> files;
  std::string suffix = ".EXE";
  std::optional<std::string> copyError;  // StageCopy fails with this text
  int busyCommits = 0;                   // commits refused as busy; -1 for ever
  bool busyRunning = false;              // the busy destination is a running image: it can be set aside
  int lockBusyTries = 0;                 // lock attempts refused as held; -1 for ever
  bool lockSupported = true;             // false: the system offers no lock
  std::function<void()> whileLockHeld;   // what the lock's holder does, once
  std::function<void()> onLock;          // what taking the lock settles, each time
  std::string busyText = "Le processus ne peut pas accéder au fichier.";
  std::size_t copyChunk = 0;                  // bytes per progress call; 0: the whole file
  std::chrono::milliseconds chunkTime{0};     // fake time each chunk takes
  std::optional<std::uint64_t> copyTotal;     // the size told to progress, if not the file's
  int startBusyTries = 0;                     // starts refused as busy; -1 for ever
  int startMissingTries = 0;                  // starts that find no program; -1 for ever
  std::optional<std::string> startFailure;    // StartProgram throws this, as no platform error
  bool recordFails = false;                   // the record cannot tell the user
  std::optional<TrustFile> trust;             // the trusted keys' list; signatures are among `files`

  // What happened.
  std::vector<std::string> events;  // visible effects, in order
  std::vector<ShownMessage> messages;
  std::vector<std::string> notices;
  std::string labels[2];
  bool windowShown = false;
  bool lockHeld = false;
  PointerShape pointer = PointerShape::Default;
  std::optional<std::string> started;
  std::optional<std::string> report;  // text of the unhandled-failure report
  std::string reportTitle;
  int beeps = 0;
  int commitTries = 0;
  std::vector<double> progressShown;  // fractions, in order
  std::map<std::string, int> stats;   // questions asked about each path
  std::chrono::milliseconds waited{0};
  std::vector<std::pair<RecordKind, std::string>> recorded;  // lines for the system log

  std::string CommandTail() override { return tail; }
  void PumpEvents() override {}

  FileStatus Stat(const std::string& path) override {
    ++stats[path];
    const FakeFile& file = Find(path);
    return {file.directory, file.time, file.data.size()};
  }

  std::unique_ptr<DestinationLock> LockDestination(const std::string&) override {
    if (lockBusyTries != 0) {
      if (lockBusyTries > 0) --lockBusyTries;
      if (whileLockHeld) std::exchange(whileLockHeld, nullptr)();
      throw BusyError("Ressource temporairement non disponible");
    }
    if (!lockSupported) return nullptr;
    if (onLock) onLock();
    events.push_back("lock");
    lockHeld = true;
    return std::make_unique<Lock>(*this);
  }

  std::unique_ptr<StagedCopy> StageCopy(const std::string& source, const std::string& destination,
                                        const CopyProgress& progress, ContentCheck* check) override {
    if (copyError) throw PlatformError(*copyError);
    const FakeFile& from = Find(source);
    if (from.directory) throw PlatformError("Is a directory");
    if (check) {
      check->Add(reinterpret_cast<const unsigned char*>(from.data.data()), from.data.size());
      check->Finish();
    }
    const std::string staged = destination + ".staged";
    files[staged] = from;
    const std::size_t size = from.data.size();
    const std::size_t chunk = copyChunk ? copyChunk : size;
    std::size_t copied = 0;
    do {
      copied = std::min(size, copied + chunk);
      waited += chunkTime;
      progress(copied, copyTotal.value_or(size));
    } while (copied < size);
    return std::make_unique<Staged>(*this, staged, destination);
  }
  std::optional<TrustFile> ReadTrustFile() override { return trust; }
  std::string ReadSignature(const std::string& path) override {
    if (!files.contains(path)) throw MissingError("No such file or directory");
    return Find(path).data;
  }
  void Pause(std::chrono::milliseconds duration) override { waited += duration; }
  std::chrono::steady_clock::time_point Now() override {
    return std::chrono::steady_clock::time_point{} + waited;
  }

  void StartProgram(const std::string& commandLine, WindowMode mode) override {
    if (startFailure) throw std::runtime_error(*startFailure);
    if (startBusyTries != 0) {
      if (startBusyTries > 0) --startBusyTries;
      throw BusyError("Text file busy");
    }
    if (startMissingTries != 0) {
      if (startMissingTries > 0) --startMissingTries;
      throw MissingError("No such file or directory");
    }
    const LaunchCommand command = SplitLaunchCommand(commandLine);
    auto it = files.find(command.program);
    if (it == files.end()) throw MissingError("No such file or directory");
    if (it->second.directory) throw PlatformError("cannot start");
    if (mode != WindowMode::Normal) throw PlatformError("wrong window mode");
    started = commandLine;
    events.push_back("start");
  }

  void ShowMessage(const std::string& text, MessageStyle style,
                   const std::optional<std::string>& title) override {
    // The failure report is the one critical box.
    if (style == MessageStyle::Critical) {
      report = text;
      reportTitle = title.value_or("<none>");
      return;
    }
    messages.push_back({text, style, title.value_or("<none>"), windowShown, lockHeld});
    events.push_back("message");
  }
  void SetLabelText(int index, const std::string& text) override { labels[index] = text; }
  void ShowProgressWindow() override {
    windowShown = true;
    events.push_back("show");
  }
  void ShowCopyProgress(double fraction) noexcept override { progressShown.push_back(fraction); }
  void ShowNotice(const std::string& text) override { notices.push_back(text); }
  void PlayBeep() override {
    ++beeps;
    events.push_back("beep");
  }
  void SetPointer(PointerShape shape) override {
    pointer = shape;
    events.push_back(shape == PointerShape::Busy ? "pointer busy" : "pointer default");
  }
  std::string ExecutableName() override { return "quennel"; }
  std::string ProgramSuffix() override { return suffix; }
  [[noreturn]] void End(int status) override {
    events.push_back("end " + std::to_string(status));
    throw Ended{status};
  }

  void Write(RecordKind kind, const std::string& line) noexcept override { recorded.emplace_back(kind, line); }
  std::string UserNumber() override { return recordFails ? throw PlatformError("Accès refusé.") : "1000"; }

  Platform Parts() { return {*this, *this, *this, *this}; }
  /// Runs Quennel the way start-up does; returns the exit status.
  int Run(std::chrono::milliseconds busyWaitLimit = kBusyWaitLimit) { return RunForm(Parts(), busyWaitLimit); }

private:
  struct Lock : DestinationLock {
    explicit Lock(FakePlatform& owner) : owner(owner) {}
    ~Lock() override {
      owner.events.push_back("unlock");
      owner.lockHeld = false;
    }
    FakePlatform& owner;
  };

  struct Staged : StagedCopy {
    Staged(FakePlatform& owner, std::string path, std::string destination)
        : owner(owner), path(std::move(path)), destination(std::move(destination)) {}
    ~Staged() override { owner.files.erase(path); }
    void Commit(RunningProgram running) override {
      ++owner.commitTries;
      auto dest = owner.files.find(destination);
      if (dest != owner.files.end() && dest->second.directory) throw PlatformError("Is a directory");
      if (owner.busyCommits != 0) {
        if (!owner.busyRunning || running == RunningProgram::Wait) {
          if (owner.busyCommits > 0) --owner.busyCommits;
          throw BusyError(owner.busyText);
        }
        owner.events.push_back("set aside");
        owner.files[destination + ".old"] = owner.Find(destination);
      }
      Replace();
    }
    void Replace() {
      owner.files[destination] = owner.Find(path);
      owner.files.erase(path);
      owner.events.push_back("replaced");
    }
    FakePlatform& owner;
    std::string path, destination;
  };

  const FakeFile& Find(const std::string& path) {
    auto it = files.find(path);
    if (it == files.end()) throw PlatformError("No such file or directory");
    return it->second;
  }
};

}  // namespace quennel::testing
