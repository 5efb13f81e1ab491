#include "platform/file_status.h"

#include <fcntl.h>

#include <cerrno>

namespace tamber {

int entryStatus(int folderFd, const char* name, unsigned mask, struct statx& status) noexcept {
  const int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | (name[0] == '\0' ? AT_EMPTY_PATH : 0);
  return ::statx(folderFd, name, flags, mask, &status) == 0 ? 0 : errno;
}

std::optional<std::int64_t> birthTimeNs(int folderFd, const char* name) noexcept {
  struct statx status {};
  if (entryStatus(folderFd, name, STATX_BTIME, status) != 0 ||
      (status.stx_mask & STATX_BTIME) == 0) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(status.stx_btime.tv_sec) * 1'000'000'000 +
         status.stx_btime.tv_nsec;
}

}  // namespace tamber
