#pragma once
/// The file operations a run needs, each one system's business only. Every
/// rule of a run (when to copy, what to check, which names to use, what
/// to clear) is the driver's; a backend answers questions and carries out
/// single steps, and raises the failures of platform/Failures.h.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Failures.h"
#include "platform/FileStatus.h"

namespace quennel {

/// A file open for reading.
class Source {
public:
  virtual ~Source() = default;
  /// Its status, from the open file (owner left empty).
  virtual FileStatus Status() = 0;
  /// Up to `size` more bytes; 0 at its end.
  virtual std::size_t Read(unsigned char* bytes, std::size_t size) = 0;
};

/// A file this run created beside the program, open for writing until
/// CloseForWriting(). Dropping it closes it; only Discard() removes it.
class NewFile {
public:
  virtual ~NewFile() = default;
  /// Its name in the program's folder.
  virtual const std::string& Name() const = 0;
  /// Appends `size` bytes.
  virtual void Write(const unsigned char* bytes, std::size_t size) = 0;
  /// Has the system append up to `size` bytes from `source`'s position,
  /// none of them through Quennel's memory (a clone may take them all at
  /// once): how many, 0 at the source's end; nothing where the system
  /// cannot, and then nothing was copied.
  virtual std::optional<std::uint64_t> CopyFrom(Source& source, std::uint64_t size) = 0;
  /// Up to `size` bytes at `offset`, as this file holds them.
  virtual std::size_t ReadAt(std::uint64_t offset, unsigned char* bytes, std::size_t size) = 0;
  /// Its status, from the open file (owner left empty).
  virtual FileStatus Status() = 0;
  /// Takes the installed program's identity: owner and group where the
  /// runner may set them, mode, access lists and attributes, setuid and
  /// setgid only with the owner and group kept. Where no program is
  /// installed, `source`'s permission bits less the umask. Throws
  /// PlatformError where a part of it that decides who may run the
  /// program cannot be given.
  virtual void TakeProgramIdentity(const FileStatus& source) = 0;
  /// For a file kept beside the program: the program's owner and group
  /// where the runner may set them, readable by everyone, written only by
  /// its owner, never setuid.
  virtual void TakeCompanionIdentity() = 0;
  /// Sets its modification time; returns what the file system kept.
  virtual FileStamp SetTime(FileStamp time) = 0;
  /// Makes its bytes and attributes survive a power cut.
  virtual void Flush() = 0;
  /// Closes it for writing, keeping only a way to recognise it: nothing is
  /// ever started from a file open for writing. Throws PlatformError when
  /// its name no longer leads to it.
  virtual void CloseForWriting() = 0;
  /// Renames it to `name` in its folder, over what is there when `replace`
  /// is set, once it has checked that its own name still leads to it.
  /// Throws BusyError while the destination is in use, RunningError when
  /// that is a running program's image (which Place::SetAside can move),
  /// ExistsError when `name` is taken and not to be replaced,
  /// PlatformError otherwise.
  virtual void MoveTo(const std::string& name, bool replace) = 0;
  /// Removes it, unless it was moved: whatever holds its name goes (a link
  /// itself, never its target). Never fails; what cannot go stays.
  virtual void Discard() noexcept = 0;
};

/// An installed program renamed aside while instances of it run.
class AsideFile {
public:
  virtual ~AsideFile() = default;
  /// Renames it back to the program's name, never over a file. False when
  /// that failed.
  virtual bool PutBack() noexcept = 0;
  /// It goes once nothing runs it any more: at once when nothing does.
  virtual void DeleteWhenUnused() noexcept = 0;
};

/// A held lock file; dropping it lets the next run go.
class HeldLock {
public:
  virtual ~HeldLock() = default;
  /// Replaces the lock file's contents by `text`; returns its status change
  /// time then, the file server's clock. Nothing where that failed.
  virtual std::optional<FileStamp> Stamp(const std::string& text) noexcept = 0;
};

/// Where an installed program lives, resolved once: its folder held open
/// and its real name there. Every operation works relative to it, so a
/// folder renamed or a link changed meanwhile cannot redirect one.
class Place {
public:
  virtual ~Place() = default;
  /// The program's name in its folder, as the file system holds it.
  virtual const std::string& Name() const = 0;
  /// The folder's owner, as FileStatus::owner names owners.
  virtual std::string FolderOwner() = 0;
  /// What `name` is in the folder, never through a link, owner included;
  /// nothing where there is no such entry. Throws PlatformError where it
  /// cannot be looked at.
  virtual std::optional<FileStatus> Look(const std::string& name) = 0;
  /// The folder's entries whose names start with `prefix`, owners
  /// included; none where the folder cannot be listed.
  virtual std::vector<FoundFile> List(const std::string& prefix) = 0;
  /// Creates `name`, exclusively and never through a link, open for
  /// writing and readable only by the runner. ExistsError when the name is
  /// taken by anything.
  virtual std::unique_ptr<NewFile> Create(const std::string& name) = 0;
  /// Opens `name` for reading: never through a link at that name, never
  /// blocking, a regular file only. MissingError where there is none.
  virtual std::unique_ptr<Source> Open(const std::string& name) = 0;
  /// Sets `name`'s modification time (never through a link); returns what
  /// the file system kept.
  virtual FileStamp SetTime(const std::string& name, FileStamp time) = 0;
  /// Removes the file `found` describes, when its name still leads to that
  /// very file. Never fails; what cannot go stays.
  virtual void Remove(const FoundFile& found) noexcept = 0;
  /// Opens and locks the lock file `name` without waiting. Throws
  /// BusyError while another run holds it; nothing where no lock can be
  /// had or trusted (a link, a pipe or another user's file at that name, a
  /// file system without locks).
  virtual std::unique_ptr<HeldLock> Lock(const std::string& name) = 0;
  /// Renames the installed program aside to `name`, holding it. Throws
  /// ExistsError when that name is taken, BusyError or PlatformError when
  /// the program cannot move.
  virtual std::unique_ptr<AsideFile> SetAside(const std::string& name) = 0;
  /// Renames the program set aside as `name` back to the program's name,
  /// never over a file. False where that fails.
  virtual bool PutBack(const std::string& name) noexcept = 0;
  /// Throws PlatformError, before anything is copied, where the runner
  /// could not give a new file the installed program's identity.
  virtual void CheckIdentityCanBeGiven() = 0;
};

/// Whether only a file's or folder's owners can change it: write it,
/// rename or delete it, or change who may.
enum class Guard {
  Safe,
  Unsafe,
  /// A sticky folder of root's or the runner's: as safe as the folder
  /// below it, which nobody else can rename.
  SafeIfNextIs,
};

/// A small file read with what guards it.
struct GuardedText {
  Guard guard = Guard::Unsafe;
  std::string text;
};

/// Where the administrator's trusted keys are for this binary.
struct TrustPaths {
  std::string list;    // the list of keys
  std::string folder;  // a folder of further keys, one `*.pub` file each
};

/// The files: what the decision and the replacement ask and do.
class Files {
public:
  virtual ~Files() = default;
  /// What `path` is, links followed: one question to the file system.
  /// Throws PlatformError when it cannot be asked (missing, no access).
  virtual FileStatus Stat(const std::string& path) = 0;
  /// The same asked of the file server itself, past any cache (NFS keeps a
  /// file's status for seconds); on Windows through a fresh open.
  virtual FileStatus StatFresh(const std::string& path) = 0;
  /// Opens the new version for reading, links followed, never blocking, a
  /// regular file only. Throws PlatformError.
  virtual std::unique_ptr<Source> OpenSource(const std::string& path) = 0;
  /// All of the small regular file `path` (links followed, never
  /// blocking), at most `limit` bytes. MissingError where there is none,
  /// PlatformError otherwise (too large included).
  virtual std::string ReadSmall(const std::string& path, std::size_t limit) = 0;
  /// Finds where `destination` really lives, following links as the
  /// system does and refusing those another user planted where others may
  /// write; with `makeFolders`, first creates the missing folders of its
  /// path as the runner, with the umask. A dangling link throws (nothing is
  /// ever created where it points), so does any failure.
  virtual std::unique_ptr<Place> Resolve(const std::string& destination, bool makeFolders) = 0;

  /// Who runs Quennel, as FileStatus::owner names owners.
  virtual std::string Runner() = 0;
  /// Whether `owner` is the system's own account (root; Administrators,
  /// SYSTEM, TrustedInstaller).
  virtual bool IsSystemAccount(const std::string& owner) = 0;
  /// Whether the runner may clear any user's leftovers (root, an
  /// administrator).
  virtual bool RunnerIsAdministrator() = 0;
  /// How paths and names are written here.
  virtual const NameRules& Names() = 0;

  /// Where this binary's trusted keys are.
  virtual TrustPaths TrustPlaces() = 0;
  /// What guards `path` (never through a link at its last name); nothing
  /// where it does not exist. Throws PlatformError where it cannot be
  /// examined.
  virtual std::optional<Guard> Examine(const std::string& path) = 0;
  /// The regular file `path`, never through a link, never blocking, at most
  /// `limit` bytes, with what guards it. MissingError where there is none,
  /// PlatformError otherwise (a link, a folder or too large included).
  virtual GuardedText ReadGuarded(const std::string& path, std::size_t limit) = 0;
  /// The names of the regular files in the folder `path`. Throws
  /// PlatformError where it cannot be listed.
  virtual std::vector<std::string> ListFiles(const std::string& path) = 0;
};

}  // namespace quennel
