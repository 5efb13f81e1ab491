#include "platform/mounts.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/file_status.h"

namespace tamber {
namespace {

// The table writes a blank, tab, newline and backslash in a name as a backslash and three
// octal digits.
std::string unescaped(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      out += static_cast<char>(std::strtol(field.substr(i + 1, 3).c_str(), nullptr, 8));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

}  // namespace

std::string mountPointOf(dev_t device, const std::string& path) {
  std::ifstream table("/proc/self/mountinfo");
  std::string best;
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string id, parent, numbers, root, field;
    fields >> id >> parent >> numbers >> root >> field;
    const size_t colon = numbers.find(':');
    if (colon == std::string::npos ||
        std::strtoul(numbers.c_str(), nullptr, 10) != ::major(device) ||
        std::strtoul(numbers.c_str() + colon + 1, nullptr, 10) != ::minor(device)) {
      continue;
    }
    const std::string point = unescaped(field);
    const bool holds =
        point == "/" || path == point ||
        (path.starts_with(point) && path.size() > point.size() && path[point.size()] == '/');
    if (holds && point.size() > best.size()) {
      best = point;
    }
  }
  return best;
}

std::optional<uint64_t> mountId(int folderFd, const char* name) noexcept {
  struct statx status {};
  if (entryStatus(folderFd, name, STATX_MNT_ID, status) != 0 ||
      (status.stx_mask & STATX_MNT_ID) == 0) {
    return std::nullopt;
  }
  return status.stx_mnt_id;
}

std::optional<bool> isMountRoot(int folderFd, const char* name) noexcept {
  struct statx status {};
  if (entryStatus(folderFd, name, 0, status) != 0 ||
      (status.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) == 0) {
    return std::nullopt;
  }
  return (status.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

}  // namespace tamber
