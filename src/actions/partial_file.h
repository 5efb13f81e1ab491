#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace tamber {

// Removes the file an action created (a copy, a new text file) unless it was completed, and
// only while its name still denotes that very file: whatever someone else put under the name
// since the exclusive create is left alone. Runs before the file's descriptor is closed, and
// after the failure being thrown has captured its error text; its own errors are ignored.
class PartialFile {
 public:
  PartialFile(int directory, const std::string& name, int file)
      : directory_(directory), name_(name), file_(file) {}
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;
  ~PartialFile() {
    if (completed_) {
      return;
    }
    struct stat ours {};
    struct stat named {};
    if (::fstat(file_, &ours) != 0 ||
        ::fstatat(directory_, name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
      return;
    }
    if (ours.st_dev == named.st_dev && ours.st_ino == named.st_ino) {
      ::unlinkat(directory_, name_.c_str(), 0);
    }
  }

  void complete() { completed_ = true; }

 private:
  int directory_;
  const std::string& name_;
  int file_;
  bool completed_ = false;
};

}  // namespace tamber
