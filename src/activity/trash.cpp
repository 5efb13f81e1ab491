#include "activity/trash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>

#include "base/failure.h"
#include "base/home_folder.h"
#include "base/path.h"
#include "base/text.h"
#include "platform/fd_io.h"
#include "platform/file_status.h"
#include "platform/mounts.h"
#include "platform/rename.h"
#include "platform/unique_fd.h"

namespace tamber {
namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

[[noreturn]] void refuse(const std::string& sentence) {
  throw Failure(sentence + "; nothing was undone");
}

// The folder `name` in `parent`, made (0700) when missing; never through a link. Empty when
// it cannot be had.
UniqueFd folderIn(int parent, const char* name) {
  if (::mkdirat(parent, name, 0700) != 0 && errno != EEXIST) {
    return {};
  }
  UniqueFd folder(::openat(parent, name, kFolderFlags));
  return folder;
}

struct TrashFolder {
  UniqueFd files;
  UniqueFd info;
  std::string top;   // the mount's top directory for a top-directory trash; "" for the home one
  std::string path;  // the trash folder itself
};

bool openInside(TrashFolder& trash, const UniqueFd& folder) {
  if (!folder) {
    return false;
  }
  trash.files = folderIn(folder.get(), "files");
  trash.info = folderIn(folder.get(), "info");
  return trash.files && trash.info;
}

dev_t deviceOf(int fd) {
  struct stat status {};
  return ::fstat(fd, &status) == 0 ? status.st_dev : dev_t(-1);
}

// Where an entry lies: its file system and, where the kernel tells, its mount. A rename
// crosses neither, not even between two mounts of one file system (a bind-mounted home).
struct Place {
  dev_t device = 0;
  std::optional<uint64_t> mount;
};

bool isAt(int fd, const Place& place) {
  if (deviceOf(fd) != place.device) {
    return false;
  }
  const std::optional<uint64_t> mount = mountId(fd, "");
  return !place.mount || !mount || *mount == *place.mount;
}

// The home trash, when it lies at `place`.
std::optional<TrashFolder> homeTrash(const TrashPlaces& places, const Place& place) {
  if (places.homeTrash.empty() || places.homeTrash.front() != '/') {
    return std::nullopt;
  }
  const size_t slash = places.homeTrash.rfind('/');
  const std::string parent = slash == 0 ? "/" : places.homeTrash.substr(0, slash);
  const std::string name = places.homeTrash.substr(slash + 1);
  // The data folder itself is the user's own setting and may be reached through links; the
  // trash below it is not. Its missing parents are made as a file manager would make them.
  for (size_t at = parent.find('/', 1); at != std::string::npos; at = parent.find('/', at + 1)) {
    ::mkdir(parent.substr(0, at).c_str(), 0700);
  }
  ::mkdir(parent.c_str(), 0700);
  const UniqueFd data(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!data || deviceOf(data.get()) != place.device) {
    return std::nullopt;
  }
  TrashFolder trash;
  trash.path = places.homeTrash;
  const UniqueFd folder = folderIn(data.get(), name.c_str());
  if (!openInside(trash, folder) || !isAt(trash.files.get(), place)) {
    return std::nullopt;
  }
  return trash;
}

// The top-directory trash of the mount that holds `path`, when there is a usable one.
std::optional<TrashFolder> topTrash(const TrashPlaces& places, const Place& place,
                                    const std::string& path) {
  const std::string top = mountPointOf(place.device, path);
  if (top.empty()) {
    return std::nullopt;
  }
  const UniqueFd topFolder(::open(top.c_str(), kFolderFlags));
  // The path may lead through links or stacked mounts to another mount of the device.
  if (!topFolder || !isAt(topFolder.get(), place)) {
    return std::nullopt;
  }
  const std::string user = std::to_string(places.user);
  TrashFolder trash;
  trash.top = top;
  // An administrator's shared ".Trash" counts only as a real folder with the sticky bit, so
  // that no one can take another user's folder in it.
  const UniqueFd shared(::openat(topFolder.get(), ".Trash", kFolderFlags));
  struct stat status {};
  if (shared && ::fstat(shared.get(), &status) == 0 && (status.st_mode & S_ISVTX) != 0) {
    const UniqueFd own = folderIn(shared.get(), user.c_str());
    trash.path = (top == "/" ? "" : top) + "/.Trash/" + user;
    if (own && ::fstat(own.get(), &status) == 0 && status.st_uid == places.user &&
        openInside(trash, own)) {
      return trash;
    }
  }
  trash.path = (top == "/" ? "" : top) + "/.Trash-" + user;
  const UniqueFd own = folderIn(topFolder.get(), (".Trash-" + user).c_str());
  if (own && ::fstat(own.get(), &status) == 0 && status.st_uid == places.user &&
      openInside(trash, own)) {
    return trash;
  }
  return std::nullopt;
}

std::string deletionDate() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  ::localtime_r(&now, &parts);
  char text[32];
  return std::string(text, std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts));
}

bool sameEntry(int directory, const std::string& name, const FolderIdentity& expected,
               std::optional<std::int64_t> bornNs = std::nullopt) {
  struct stat status {};
  if (::fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
      identityOf(status) != expected) {
    return false;
  }
  if (!bornNs) {
    return true;
  }
  // An inode number is reused once its entry is gone; a birth time is not.
  const std::optional<std::int64_t> born = birthTimeNs(directory, name.c_str());
  return !born || *born == *bornNs;
}

}  // namespace

TrashPlaces trashPlacesFromEnvironment() {
  TrashPlaces places;
  places.user = ::getuid();
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data != nullptr && data[0] == '/') {
    places.homeTrash = std::string(data) + "/Trash";
    return places;
  }
  const char* variable = std::getenv("HOME");
  const std::string home =
      homeFolder(variable != nullptr ? std::optional<std::string>(variable) : std::nullopt);
  if (!home.empty()) {
    places.homeTrash = home + "/.local/share/Trash";
  }
  return places;
}

std::string moveToTrash(int directory, const std::string& name, const std::string& originalPath,
                        const FolderIdentity& expected, const std::string& shown,
                        const TrashPlaces& places, std::optional<std::int64_t> bornNs) {
  struct stat status {};
  if (::fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    refuse(shown + " cannot be examined (" + errnoText(errno) + ")");
  }
  // A rename never crosses file systems, so the Trash must be on the entry's own.
  // Named lexically settled ("/a//b" is "/a/b"), as the Trash records it and restores it.
  const std::string original = absolutePath(originalPath);
  const Place place{status.st_dev, mountId(directory, "")};
  std::optional<TrashFolder> trash = homeTrash(places, place);
  if (!trash) {
    trash = topTrash(places, place, original);
  }
  if (!trash) {
    refuse("There is no Trash Tamber can use on the file system of " + shown);
  }
  std::string recorded = original;
  if (!trash->top.empty()) {
    recorded = original.substr(trash->top == "/" ? 1 : trash->top.size() + 1);
  }
  const std::string info =
      "[Trash Info]\nPath=" + percentEncoded(recorded) + "\nDeletionDate=" + deletionDate() + "\n";

  // The Trash's own name for the entry leaves room, within a name's 255 bytes, for a number
  // and ".trashinfo"; a longer name is cut, as its info file keeps the whole path.
  constexpr size_t kTrashNameBytes = NAME_MAX - std::string_view(".1000.trashinfo").size();
  const std::string trashName(utf8Prefix(name, kTrashNameBytes));
  for (int attempt = 1; attempt <= 1000; ++attempt) {
    const std::string candidate =
        attempt == 1 ? trashName : trashName + "." + std::to_string(attempt);
    const std::string infoName = candidate + ".trashinfo";
    // The info file comes first and is created exclusively: two programs trashing the same
    // name at once each get a name of their own.
    UniqueFd infoFile(::openat(trash->info.get(), infoName.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!infoFile) {
      if (errno == EEXIST) {
        continue;
      }
      refuse("The Trash cannot take " + shown + " (" + errnoText(errno) + ")");
    }
    struct stat infoStatus {};
    ::fstat(infoFile.get(), &infoStatus);
    // Removes the info file this attempt made, and only while the name is still that file.
    const auto dropInfo = [&] {
      if (sameEntry(trash->info.get(), infoName, identityOf(infoStatus))) {
        ::unlinkat(trash->info.get(), infoName.c_str(), 0);
      }
    };
    if (const int error = writeAll(infoFile.get(), info);
        error != 0 || ::fsync(infoFile.get()) != 0) {
      const int failed = error != 0 ? error : errno;
      dropInfo();
      refuse("The Trash cannot take " + shown + " (" + errnoText(failed) + ")");
    }
    const int error =
        renameNoReplace(directory, name.c_str(), trash->files.get(), candidate.c_str());
    if (error == EEXIST) {
      dropInfo();
      continue;
    }
    if (error != 0) {
      dropInfo();
      refuse(shown + " could not be moved to the Trash (" + errnoText(error) + ")");
    }
    if (!sameEntry(trash->files.get(), candidate, expected, bornNs)) {
      // Someone put another entry under the name between the checks and the rename: it goes
      // back where it was, untouched.
      if (const int back =
              renameNoReplace(trash->files.get(), candidate.c_str(), directory, name.c_str())) {
        // Its name was taken again meanwhile: it stays in the Trash, with the info that lets
        // a file manager show and restore it.
        refuse(shown +
               " changed while it was being undone, and what was found there could "
               "not be put back (" +
               errnoText(back) + "): it is in the Trash as " + candidate);
      }
      dropInfo();
      refuse(shown + " changed while it was being undone");
    }
    return trash->path + "/files/" + candidate;
  }
  refuse("The Trash holds too many entries named " + name);
}

}  // namespace tamber
