#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

#include "access/grant.h"

namespace tamber {

// The user's Trash as freedesktop.org lays it out for every desktop (and as GIO's
// g_file_trash uses it): the home trash "$XDG_DATA_HOME/Trash" (XDG_DATA_HOME defaulting to
// "$HOME/.local/share") for entries on its file system, and for entries on another mount the
// top-directory trash of that mount: "$topdir/.Trash/$uid" when "$topdir/.Trash" is a real
// folder with the sticky bit, else "$topdir/.Trash-$uid". Each holds "files" and "info".
struct TrashPlaces {
  std::string homeTrash;  // absolute path of the home trash folder; may not exist yet
  uid_t user = 0;         // whose trash, the $uid above
};

// The places of the user running this process, from XDG_DATA_HOME (when absolute) and HOME.
// Empty homeTrash when neither is known.
TrashPlaces trashPlacesFromEnvironment();

// Moves the entry `name` of the open directory `directory` into the Trash for its file system:
// first creates "info/NAME.trashinfo" exclusively (NAME being the entry's name, or "NAME.2",
// "NAME.3", ... when taken), holding "[Trash Info]", "Path=" (`originalPath`, absolute for the
// home trash, relative to the mount for a top-directory trash) and "DeletionDate=" (local time,
// YYYY-MM-DDThh:mm:ss), then renames the entry to "files/NAME" without replacing anything.
// Every trash folder is opened without following links and created (mode 0700) when
// missing. The entry must be `expected` (device and inode), and born at `bornNs` when that is
// given and the file system keeps birth times, when it lands in the Trash; otherwise it is
// renamed back and nothing is left behind. Returns the trashed entry's path.
// Throws Failure with a sentence about `shown` ending in "; nothing was undone" when nothing
// was moved: no usable Trash on that file system, a rename the system refused, and so on.
std::string moveToTrash(int directory, const std::string& name, const std::string& originalPath,
                        const FolderIdentity& expected, const std::string& shown,
                        const TrashPlaces& places,
                        std::optional<std::int64_t> bornNs = std::nullopt);

}  // namespace tamber
