#include "update/Leftovers.h"

#include <optional>

#include "update/Clock.h"

namespace quennel {

bool OlderThanLifetime(const FileStamp& changed, const FileStamp& now) {
  return changed < Shifted(now, -kStagingLifetime);
}

void ClearLeftovers(Files& files, Place& place, const FileStamp& now) {
  const NameRules& rules = files.Names();
  const OwnFileKinds& kinds = OwnKinds(rules);
  const std::string runner = files.Runner();
  const bool anyone = files.RunnerIsAdministrator();
  for (const FoundFile& found : place.List(OwnFilePrefix(place.Name(), kinds.staging, rules.units))) {
    const FileStatus& status = found.status;
    if (status.kind != FileKind::Regular || (!anyone && status.owner != runner)) continue;
    bool ours = false;
    for (const OwnFileKind* kind : {&kinds.staging, &kinds.signature, kinds.setAside})
      ours = ours || (kind && IsOwnFileName(found.name, place.Name(), *kind, rules.units));
    if (ours && OlderThanLifetime(status.changed, now)) place.Remove(found);
  }
}

bool PutBackStranded(Files& files, Place& place) {
  const NameRules& rules = files.Names();
  if (!OwnKinds(rules).setAside) return false;
  const OwnFileKind& aside = *OwnKinds(rules).setAside;
  const std::string runner = files.Runner(), folderOwner = place.FolderOwner();
  std::optional<FoundFile> newest;
  for (FoundFile& found : place.List(OwnFilePrefix(place.Name(), aside, rules.units))) {
    const FileStatus& status = found.status;
    const bool trusted =
        !status.owner.empty() &&
        (status.owner == runner || status.owner == folderOwner || files.IsSystemAccount(status.owner));
    if (status.kind == FileKind::Regular && trusted && IsOwnFileName(found.name, place.Name(), aside, rules.units) &&
        (!newest || status.modified > newest->status.modified))
      newest = std::move(found);
  }
  return newest && place.PutBack(newest->name);
}

}  // namespace quennel
