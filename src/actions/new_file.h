#pragma once

#include <sys/stat.h>

#include <string>

#include "platform/unique_fd.h"

namespace tamber {

// A file an action makes (a copy, a new text file), made whole before anything can see it:
// written without a name in its folder, then linked under its name, which fails rather than
// take a name something else took meanwhile. A file never completed goes with its descriptor.
// Where the file system cannot make a file without a name, the file is created under its name
// at once, exclusively. A file that has its name but was never completed (a failed flush
// after the link, or any failure in that second case) is removed again, while that name still
// denotes it.
class NewFile {
 public:
  // Opens the new file for reading and writing, mode 0600 less the umask. Refuses a name
  // already taken, by anything, a dangling link included; throws the system's error text.
  NewFile(int directory, std::string name);
  ~NewFile();
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  int fd() const { return file_.get(); }

  // Gives the written (and fsynced) file its name, durably, and returns its status. Throws the
  // system's error text ("File exists" when the name was taken meanwhile), and the file is gone.
  struct stat complete();

 private:
  const int directory_;
  const std::string name_;
  UniqueFd file_;
  bool named_ = false;  // it has its name: at once where the file system makes no files without one
  bool completed_ = false;
};

}  // namespace tamber
