#include "base/private_directory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/failure.h"
#include "platform/unique_fd.h"

namespace tamber {

void makeDataDirectoryPrivate(const std::string& path) {
  // Judged and changed through one descriptor, so that what is checked is what is tightened,
  // whatever is swapped in at the path meanwhile.
  const UniqueFd directory(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!directory) {
    const int error = errno;
    struct stat status {};
    require(!(::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode)),
            kDataDirectoryIsALink);
    throw errnoFailure(error);
  }
  struct stat status {};
  if (::fstat(directory.get(), &status) != 0) {
    throw errnoFailure();
  }
  // Another user's directory, even one this process may write (as root may), would put the
  // socket, the audit log and the page's secret where that user can reach them.
  require(status.st_uid == ::geteuid(), kDataDirectoryOfAnotherUser);
  if ((status.st_mode & 07777) != 0700 && ::fchmod(directory.get(), 0700) != 0) {
    throw errnoFailure();
  }
}

}  // namespace tamber
