#pragma once

#include <sys/types.h>

#include <string>

namespace tamber {

// The mount point of the file system `device` that holds the absolute path `path`, from the
// process's mount table (/proc/self/mountinfo): of the mounts of that device whose point is
// `path` or one of its ancestors, the deepest. Empty when there is none or the table cannot
// be read. Any thread.
std::string mountPointOf(dev_t device, const std::string& path);

}  // namespace tamber
