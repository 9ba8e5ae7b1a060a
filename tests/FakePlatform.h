#pragma once
/// An in-memory platform for driving F_Main in tests, one double per part:
/// files with contents, times, identities and owners, and faults to inject
/// at any step; a process with fake clocks; a screen and a record keeping
/// everything the user and the administrator would see.

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/Platform.h"
#include "tests/RunForm.h"
#include "update/F_Main.h"

namespace quennel::testing {

struct FakeFile {
  std::string data;
  FileStamp time{};  // modified
  bool directory = false;
  FileStamp changed{1};  // long settled

  FileId id{};
  std::string owner = "1000";
};

struct ShownMessage {
  std::string text;
  MessageStyle style;
  std::string title;   // "<none>" when no title was given
  bool windowVisible;  // whether the progress window was on screen behind it
  bool lockHeld;       // whether a run's lock was held while it waited for a click
};

/// What the user sees and the run does, in order, shared by the doubles.
struct Journal {
  std::vector<std::string> events;
  bool lockHeld = false;
  bool windowShown = false;
  std::chrono::milliseconds waited{0};
};

class FakeFiles final : public Files {
public:
  explicit FakeFiles(Journal& journal) : journal_(journal) {}

  // Set up by the test.
  std::map<std::string, FakeFile> files;
  NameRules names{"\\/:", false, NameUnits::Utf16, true};
  std::string runner = "1000";
  bool administrator = false;
  /// Steps that fail, by name ("Create", "Write", "MoveTo", "Resolve"...),
  /// with the system's text; each fails every time it is tried.
  std::map<std::string, std::string> failures;
  /// Runs before each step with its name (for faults at a known point).
  std::function<void(const std::string& step)> before;
  int busyCommits = 0;                 // renames over the program refused as busy; -1 for ever
  bool busyRunning = false;            // ... because it is a running image: it can be set aside
  int lockBusyTries = 0;               // lock attempts refused as held; -1 for ever
  bool lockSupported = true;           // false: no lock can be had
  std::function<void()> whileLockHeld;  // what the other holder does, once
  /// What the system copies a call, whatever was asked (a clone takes the
  /// whole file); none: it never copies.
  std::optional<std::uint64_t> systemChunk;
  std::uint64_t readChunk = 0;               // bytes a read returns at most; 0: all there is
  std::int64_t timeStep = 1;                 // the nanoseconds the file system keeps times in
  std::optional<TrustPaths> trustPaths;      // where the trusted keys are; none: nowhere
  std::map<std::string, Guard> guards;       // what guards a path; Safe where not said
  std::set<std::string> unexaminable;        // paths whose guard cannot be read

  // What happened.
  std::map<std::string, int> stats;  // questions asked about each path
  int commitTries = 0;
  std::vector<std::string> removed;  // names of leftovers removed
  bool foldersAsked = false;         // whether a missing folder was to be made

  FileStatus Stat(const std::string& path) override {
    ++stats[path];
    Step("Stat");
    return StatusOf(Find(path));
  }
  FileStatus StatFresh(const std::string& path) override {
    Step("StatFresh");
    return StatusOf(Find(path));
  }
  std::unique_ptr<Source> OpenSource(const std::string& path) override {
    Step("OpenSource");
    const FakeFile& file = Find(path);
    if (file.directory) throw PlatformError("Is a directory");
    return std::make_unique<FakeSource>(*this, path, StatusOf(file));
  }
  std::string ReadSmall(const std::string& path, std::size_t limit) override {
    Step("ReadSmall");
    if (!files.contains(path)) throw MissingError("No such file or directory");
    const std::string& data = Find(path).data;
    if (data.size() > limit) throw PlatformError("File too large");
    return data;
  }
  std::unique_ptr<Place> Resolve(const std::string& destination, bool makeFolders) override {
    Step("Resolve");
    foldersAsked = foldersAsked || makeFolders;
    const std::size_t cut = destination.find_last_of(names.separators);
    return std::make_unique<FakePlace>(*this, destination.substr(0, cut + 1), destination.substr(cut + 1));
  }
  std::string Runner() override { return runner; }
  bool IsSystemAccount(const std::string& owner) override { return owner == "system"; }
  bool RunnerIsAdministrator() override { return administrator; }
  const NameRules& Names() override { return names; }
  TrustPaths TrustPlaces() override { return trustPaths.value_or(TrustPaths{"/etc/none/keys", "/etc/none/keys.d"}); }
  std::optional<Guard> Examine(const std::string& path) override {
    if (unexaminable.contains(path)) throw PlatformError("Permission non accordée");
    if (!files.contains(path) && !HasEntriesUnder(path)) return std::nullopt;
    return GuardOf(path);
  }
  GuardedText ReadGuarded(const std::string& path, std::size_t limit) override {
    return {GuardOf(path), ReadSmall(path, limit)};
  }
  std::vector<std::string> ListFiles(const std::string& path) override {
    if (unexaminable.contains(path)) throw PlatformError("Permission non accordée");
    std::vector<std::string> names;
    if (!HasEntriesUnder(path)) throw MissingError("No such file or directory");
    for (const auto& [whole, file] : files)
      if (!file.directory && whole.size() > path.size() && whole.starts_with(path) &&
          this->names.separators.find(whole[path.size()]) != std::string_view::npos)
        names.push_back(whole.substr(path.size() + 1));
    return names;
  }

  const FakeFile& Find(const std::string& path) {
    auto it = files.find(path);
    if (it == files.end()) throw PlatformError("No such file or directory");
    return it->second;
  }
  /// Names beside `folderAndName`'s that Quennel made ("*.quennel~*").
  std::vector<std::string> OwnFilesBeside(const std::string& path) const {
    const std::string folder = path.substr(0, path.find_last_of(names.separators) + 1);
    std::vector<std::string> found;
    for (const auto& [whole, file] : files)
      if (whole.starts_with(folder) && whole.find(".quennel~", folder.size()) != std::string::npos)
        found.push_back(whole.substr(folder.size()));
    return found;
  }

private:
  void Step(const std::string& step) {
    if (before) before(step);
    if (auto it = failures.find(step); it != failures.end()) throw PlatformError(it->second);
  }
  static FileStatus StatusOf(const FakeFile& file) {
    FileStatus status;
    status.kind = file.directory ? FileKind::Folder : FileKind::Regular;
    status.modified = file.time;
    status.changed = file.changed;
    status.size = file.data.size();
    status.id = file.id;
    status.owner = file.owner;
    return status;
  }
  bool HasEntriesUnder(const std::string& path) const {
    return std::any_of(files.begin(), files.end(), [&](const auto& entry) {
      return entry.first.size() > path.size() && entry.first.starts_with(path) &&
             names.separators.find(entry.first[path.size()]) != std::string_view::npos;
    });
  }
  Guard GuardOf(const std::string& path) const {
    const auto it = guards.find(path);
    return it == guards.end() ? Guard::Safe : it->second;
  }

  class FakeSource final : public Source {
  public:
    FakeSource(FakeFiles& owner, std::string path, FileStatus opened)
        : owner_(owner), path_(std::move(path)), opened_(std::move(opened)) {}
    FileStatus Status() override {
      // An open file keeps its status when its name goes elsewhere.
      const auto it = owner_.files.find(path_);
      return it == owner_.files.end() || it->second.id != opened_.id ? opened_ : StatusOf(it->second);
    }
    std::size_t Read(unsigned char* bytes, std::size_t size) override {
      owner_.Step("Read");
      const auto it = owner_.files.find(path_);
      if (it == owner_.files.end()) return 0;
      std::size_t n = std::min<std::size_t>(size, it->second.data.size() - std::min(at_, it->second.data.size()));
      if (owner_.readChunk) n = std::min<std::size_t>(n, owner_.readChunk);
      std::copy_n(it->second.data.data() + at_, n, bytes);
      at_ += n;
      return n;
    }
    std::size_t at_ = 0;
    FakeFiles& owner_;
    std::string path_;
    FileStatus opened_;
  };

  class FakeNewFile final : public NewFile {
  public:
    FakeNewFile(FakeFiles& owner, std::string folder, std::string name, std::string program)
        : owner_(owner), folder_(std::move(folder)), name_(std::move(name)), program_(std::move(program)) {}
    const std::string& Name() const override { return name_; }
    void Write(const unsigned char* bytes, std::size_t size) override {
      owner_.Step("Write");
      File().data.append(reinterpret_cast<const char*>(bytes), size);
    }
    std::optional<std::uint64_t> CopyFrom(Source& source, std::uint64_t size) override {
      if (!owner_.systemChunk) return std::nullopt;
      const std::lock_guard<std::mutex> one(owner_.copying_);
      owner_.Step("CopyFrom");
      auto& from = static_cast<FakeSource&>(source);
      (void)size;
      std::string bytes(static_cast<std::size_t>(*owner_.systemChunk), '\0');
      bytes.resize(from.Read(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size()));
      File().data += bytes;
      return bytes.size();
    }
    std::size_t ReadAt(std::uint64_t offset, unsigned char* bytes, std::size_t size) override {
      const std::lock_guard<std::mutex> one(owner_.copying_);
      owner_.Step("ReadAt");
      const std::string& data = File().data;
      const std::size_t n = offset >= data.size() ? 0 : std::min<std::size_t>(size, data.size() - offset);
      std::copy_n(data.data() + offset, n, bytes);
      return n;
    }
    FileStatus Status() override { return StatusOf(File()); }
    void TakeProgramIdentity(const FileStatus&) override {
      owner_.Step("TakeProgramIdentity");
      if (auto it = owner_.files.find(folder_ + program_); it != owner_.files.end()) File().owner = it->second.owner;
    }
    void TakeCompanionIdentity() override { owner_.Step("TakeCompanionIdentity"); }
    FileStamp SetTime(FileStamp time) override {
      owner_.Step("SetTime");
      // Truncated to the file system's clock, as file systems do.
      const std::int64_t step = owner_.timeStep;
      time.nanoseconds = static_cast<std::int32_t>(time.nanoseconds / step * step);
      return File().time = time;
    }
    void Flush() override { owner_.Step("Flush"); }
    void CloseForWriting() override { owner_.Step("CloseForWriting"); }
    void MoveTo(const std::string& name, bool replace) override {
      ++owner_.commitTries;
      owner_.Step("MoveTo");
      owner_.Step("MoveTo " + name);
      const std::string to = folder_ + name;
      auto dest = owner_.files.find(to);
      if (dest != owner_.files.end() && dest->second.directory) throw PlatformError("Is a directory");
      if (dest != owner_.files.end() && !replace) throw ExistsError("File exists");
      if (replace && dest != owner_.files.end() && owner_.busyCommits != 0) {
        if (owner_.busyCommits > 0) --owner_.busyCommits;
        if (owner_.busyRunning) throw RunningError("Le fichier est utilisé par un programme en cours.");
        throw BusyError("Le processus ne peut pas accéder au fichier.");
      }
      owner_.files[to] = File();
      owner_.files.erase(folder_ + name_);
      moved_ = true;
      owner_.journal_.events.push_back("replaced");
    }
    void Discard() noexcept override {
      if (!moved_) owner_.files.erase(folder_ + name_);
    }

  private:
    FakeFile& File() {
      auto it = owner_.files.find(folder_ + name_);
      if (it == owner_.files.end()) throw PlatformError("No such file or directory");
      return it->second;
    }
    FakeFiles& owner_;
    std::string folder_, name_, program_;
    bool moved_ = false;
  };

  class FakeAside final : public AsideFile {
  public:
    FakeAside(FakeFiles& owner, std::string aside, std::string program)
        : owner_(owner), aside_(std::move(aside)), program_(std::move(program)) {}
    bool PutBack() noexcept override {
      if (owner_.failures.contains("PutBack") || owner_.files.contains(program_)) return false;
      owner_.files[program_] = owner_.files[aside_];
      owner_.files.erase(aside_);
      owner_.journal_.events.push_back("put back");
      return true;
    }
    void DeleteWhenUnused() noexcept override {}

  private:
    FakeFiles& owner_;
    std::string aside_, program_;
  };

  class FakeLock final : public HeldLock {
  public:
    explicit FakeLock(FakeFiles& owner) : owner_(owner) {
      owner_.journal_.events.push_back("lock");
      owner_.journal_.lockHeld = true;
    }
    ~FakeLock() override {
      owner_.journal_.events.push_back("unlock");
      owner_.journal_.lockHeld = false;
    }
    std::optional<FileStamp> Stamp(const std::string& text) noexcept override {
      owner_.stamps.push_back(text);
      return owner_.lockStamp;
    }

  private:
    FakeFiles& owner_;
  };

  class FakePlace final : public Place {
  public:
    FakePlace(FakeFiles& owner, std::string folder, std::string name)
        : owner_(owner), folder_(std::move(folder)), name_(std::move(name)) {}
    const std::string& Name() const override { return name_; }
    std::string FolderOwner() override { return owner_.folderOwner; }
    std::optional<FileStatus> Look(const std::string& name) override {
      const auto it = owner_.files.find(folder_ + name);
      if (it == owner_.files.end()) return std::nullopt;
      return StatusOf(it->second);
    }
    std::vector<FoundFile> List(const std::string& prefix) override {
      std::vector<FoundFile> found;
      for (const auto& [whole, file] : owner_.files)
        if (whole.starts_with(folder_ + prefix) && whole.find_first_of("\\/", folder_.size()) == std::string::npos)
          found.push_back({whole.substr(folder_.size()), StatusOf(file)});
      return found;
    }
    std::unique_ptr<NewFile> Create(const std::string& name) override {
      owner_.Step("Create");
      if (owner_.files.contains(folder_ + name)) throw ExistsError("File exists");
      owner_.files[folder_ + name] = FakeFile{"", {}, false, {}, {owner_.nextId++, 7}, owner_.runner};
      return std::make_unique<FakeNewFile>(owner_, folder_, name, name_);
    }
    std::unique_ptr<Source> Open(const std::string& name) override {
      owner_.Step("Open");
      const auto it = owner_.files.find(folder_ + name);
      if (it == owner_.files.end()) throw MissingError("No such file or directory");
      return std::make_unique<FakeSource>(owner_, folder_ + name, StatusOf(it->second));
    }
    FileStamp SetTime(const std::string& name, FileStamp time) override {
      owner_.Step("SetTimeOf");
      return owner_.files.at(folder_ + name).time = time;
    }
    void Remove(const FoundFile& found) noexcept override {
      owner_.files.erase(folder_ + found.name);
      owner_.removed.push_back(found.name);
    }
    std::unique_ptr<HeldLock> Lock(const std::string& name) override {
      owner_.lockNames.insert(name);
      if (owner_.lockBusyTries != 0) {
        if (owner_.lockBusyTries > 0) --owner_.lockBusyTries;
        if (owner_.whileLockHeld) std::exchange(owner_.whileLockHeld, nullptr)();
        throw BusyError("Ressource temporairement non disponible");
      }
      if (!owner_.lockSupported) return nullptr;
      if (owner_.onLock) owner_.onLock();
      return std::make_unique<FakeLock>(owner_);
    }
    std::unique_ptr<AsideFile> SetAside(const std::string& name) override {
      owner_.Step("SetAside");
      if (owner_.files.contains(folder_ + name)) throw ExistsError("File exists");
      owner_.files[folder_ + name] = owner_.files.at(folder_ + name_);
      owner_.files.erase(folder_ + name_);
      owner_.journal_.events.push_back("set aside");
      return std::make_unique<FakeAside>(owner_, folder_ + name, folder_ + name_);
    }
    bool PutBack(const std::string& name) noexcept override {
      return FakeAside(owner_, folder_ + name, folder_ + name_).PutBack();
    }
    void CheckIdentityCanBeGiven() override { owner_.Step("CheckIdentityCanBeGiven"); }

  private:
    FakeFiles& owner_;
    std::string folder_, name_;
  };

public:
  std::function<void()> onLock;        // what taking the lock finds or settles, each time
  std::optional<FileStamp> lockStamp{FileStamp{1'000'000}};  // the lock file's change time once stamped
  std::vector<std::string> stamps;     // what the lock was stamped with
  std::set<std::string> lockNames;     // the lock files asked for
  std::string folderOwner = "0";

private:
  Journal& journal_;
  /// The copy reads back on a second thread while the next part copies.
  std::mutex copying_;
  std::uint64_t nextId = 1;
};

class FakeProcess final : public Process {
public:
  FakeProcess(Journal& journal, FakeFiles* files) : journal_(journal), files_(files) {}

  std::string tail;
  std::string suffix = ".EXE";
  std::string executable = "C:\\Quennel\\quennel.exe";
  FileStamp clock{1'900'000'000};  // this machine's clock when the run starts (2030)
  int startBusyTries = 0;          // starts refused as busy; -1 for ever
  int startMissingTries = 0;       // starts that find no program; -1 for ever
  std::optional<std::string> startFailure;  // StartProgram throws this, as no platform error
  std::optional<std::string> started;       // `"PROGRAM" ARGUMENTS`, once started
  std::uint64_t random = 0x1234;

  std::string CommandTail() override { return tail; }
  void Pause(std::chrono::milliseconds duration) override { journal_.waited += duration; }
  std::chrono::steady_clock::time_point Now() override { return std::chrono::steady_clock::time_point{} + journal_.waited; }
  FileStamp Clock() override {
    const auto ms = journal_.waited.count();
    return {clock.seconds + ms / 1000, clock.nanoseconds + static_cast<std::int32_t>(ms % 1000) * 1'000'000};
  }
  std::uint64_t RandomNumber() override { return random++; }
  std::uint64_t ProcessId() override { return 4242; }
  void StartProgram(const std::string& program, const std::string& arguments) override {
    if (startFailure) throw std::runtime_error(*startFailure);
    if (startBusyTries != 0) {
      if (startBusyTries > 0) --startBusyTries;
      throw BusyError("Text file busy");
    }
    if (startMissingTries != 0) {
      if (startMissingTries > 0) --startMissingTries;
      throw MissingError("No such file or directory");
    }
    if (files_) {
      auto it = files_->files.find(program);
      if (it == files_->files.end()) throw MissingError("No such file or directory");
      if (it->second.directory) throw PlatformError("cannot start");
    }
    started = "\"" + program + "\" " + arguments;
    journal_.events.push_back("start");
  }
  std::string ExecutablePath() override { return executable; }
  std::string ProgramSuffix() override { return suffix; }
  [[noreturn]] void End(int status) override {
    journal_.events.push_back("end " + std::to_string(status));
    throw Ended{status};
  }

private:
  Journal& journal_;
  FakeFiles* files_;
};

class FakeScreen final : public Screen {
public:
  explicit FakeScreen(Journal& journal) : journal_(journal) {}

  bool beepFails = false;
  std::vector<ShownMessage> messages;
  std::vector<std::string> notices;
  std::string labels[2];
  PointerShape pointer = PointerShape::Default;
  std::optional<std::string> report;  // text of the unhandled-failure report
  std::string reportTitle;
  int beeps = 0;
  std::vector<double> progressShown;  // fractions, in order

  void PumpEvents() override {}
  void ShowMessage(const std::string& text, MessageStyle style, const std::optional<std::string>& title) override {
    // The failure report is the one critical box.
    if (style == MessageStyle::Critical) {
      report = text;
      reportTitle = title.value_or("<none>");
      return;
    }
    messages.push_back({text, style, title.value_or("<none>"), journal_.windowShown, journal_.lockHeld});
    journal_.events.push_back("message");
  }
  void SetLabelText(int index, const std::string& text) override { labels[index] = text; }
  void ShowProgressWindow() override {
    journal_.windowShown = true;
    journal_.events.push_back("show");
  }
  void ShowCopyProgress(double fraction) noexcept override { progressShown.push_back(fraction); }
  void ShowNotice(const std::string& text) override { notices.push_back(text); }
  void PlayBeep() override {
    if (beepFails) throw PlatformError("Aucun périphérique audio.");
    ++beeps;
    journal_.events.push_back("beep");
  }
  void SetPointer(PointerShape shape) override {
    pointer = shape;
    journal_.events.push_back(shape == PointerShape::Busy ? "pointer busy" : "pointer default");
  }

private:
  Journal& journal_;
};

class FakeRecord final : public Record {
public:
  bool fails = false;  // the record cannot tell the user
  std::vector<std::pair<RecordKind, std::string>> recorded;
  void Write(RecordKind kind, const std::string& line) noexcept override { recorded.emplace_back(kind, line); }
  std::string UserNumber() override { return fails ? throw PlatformError("Accès refusé.") : "1000"; }
};

/// The four doubles together, as most tests want them.
struct FakePlatform {
  Journal journal;
  FakeFiles files{journal};
  FakeProcess process{journal, &files};
  FakeScreen screen{journal};
  FakeRecord record;

  Platform Parts() { return {files, process, screen, record}; }
  /// Runs Quennel the way start-up does; returns the exit status.
  int Run(std::chrono::milliseconds busyWaitLimit = kBusyWaitLimit) { return RunForm(Parts(), busyWaitLimit); }
};

}  // namespace quennel::testing
