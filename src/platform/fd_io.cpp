#include "platform/fd_io.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/unique_fd.h"

namespace tamber {

ssize_t readSome(int fd, void* data, size_t size) {
  for (;;) {
    const ssize_t count = ::read(fd, data, size);
    if (count >= 0 || errno != EINTR) {
      return count;
    }
  }
}

ssize_t readSomeAt(int fd, void* data, size_t size, off_t offset) {
  for (;;) {
    const ssize_t count = ::pread(fd, data, size, offset);
    if (count >= 0 || errno != EINTR) {
      return count;
    }
  }
}

int writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t count = ::write(fd, bytes.data(), bytes.size());
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count < 0) {
      return errno;
    }
    if (count == 0) {
      return ENOSPC;
    }
    bytes.remove_prefix(static_cast<size_t>(count));
  }
  return 0;
}

int readToEnd(int fd, std::string& out, size_t limit) {
  char buffer[65536];
  for (;;) {
    const ssize_t count = readSome(fd, buffer, sizeof buffer);
    if (count < 0) {
      return errno;
    }
    if (count == 0) {
      return 0;
    }
    const size_t room = limit > out.size() ? limit - out.size() : 0;
    out.append(buffer, std::min(room, static_cast<size_t>(count)));
  }
}

bool pollBriefly(int fd, short events, std::chrono::microseconds spin) {
  const auto end = std::chrono::steady_clock::now() + spin;
  for (;;) {
    pollfd watched{fd, events, 0};
    if (::poll(&watched, 1, 0) != 0) {
      return true;  // ready, or a failure the caller's own wait will report
    }
    if (std::chrono::steady_clock::now() >= end) {
      return false;
    }
    // Another thread woken on this CPU runs before the next look.
    ::sched_yield();
  }
}

int writeWholeFile(const std::string& path, std::string_view text) {
  UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
  return file ? writeAll(file.get(), text) : errno;
}

int readWholeFile(const std::string& path, std::string& out) {
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  return file ? readToEnd(file.get(), out) : errno;
}

}  // namespace tamber
