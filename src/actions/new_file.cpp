#include "actions/new_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "base/failure.h"

namespace tamber {

NewFile::NewFile(int directory, std::string name) : directory_(directory), name_(std::move(name)) {
  // The name is looked at first, so that a long copy to a taken name is refused before it
  // starts; the link at the end is what keeps the promise.
  struct stat existing {};
  if (::fstatat(directory_, name_.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    throw errnoFailure(EEXIST);
  }
  if (errno != ENOENT) {
    throw errnoFailure();
  }
  file_.reset(::openat(directory_, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (file_) {
    return;
  }
  // File systems without unnamed files say so in one of these ways (older kernels see a
  // request to open the folder itself).
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    throw errnoFailure();
  }
  // O_EXCL fails on any existing name, a dangling link included, so nothing is overwritten
  // and no link is followed to create a file elsewhere.
  file_.reset(::openat(directory_, name_.c_str(),
                       O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file_) {
    throw errnoFailure();
  }
  named_ = true;
}

NewFile::~NewFile() {
  if (completed_ || !named_) {
    return;  // a file without a name goes with its descriptor
  }
  struct stat ours {};
  struct stat named {};
  if (::fstat(file_.get(), &ours) != 0 ||
      ::fstatat(directory_, name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
    return;
  }
  // Whatever someone else put under the name since is left alone.
  if (ours.st_dev == named.st_dev && ours.st_ino == named.st_ino) {
    ::unlinkat(directory_, name_.c_str(), 0);
  }
}

struct stat NewFile::complete() {
  if (!named_) {
    // A process that may read any folder links its own descriptor; any other goes through
    // its descriptor's name in /proc. A link never replaces what stands under its name.
    if (::linkat(file_.get(), "", directory_, name_.c_str(), AT_EMPTY_PATH) != 0) {
      if (errno != ENOENT && errno != EPERM) {
        throw errnoFailure();
      }
      const std::string self = "/proc/self/fd/" + std::to_string(file_.get());
      if (::linkat(AT_FDCWD, self.c_str(), directory_, name_.c_str(), AT_SYMLINK_FOLLOW) != 0) {
        throw errnoFailure();
      }
    }
    named_ = true;
    // The content was made durable before; the name is only once the file's metadata is
    // flushed again: a power cut would otherwise lose a file reported made. Should that
    // fail, the file goes again, as one never completed.
    if (::fsync(file_.get()) != 0) {
      throw errnoFailure();
    }
  }
  completed_ = true;
  struct stat status {};
  if (::fstat(file_.get(), &status) != 0) {
    throw errnoFailure();
  }
  return status;
}

}  // namespace tamber
