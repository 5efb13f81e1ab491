#include "actions/file_io.h"

#include <unistd.h>

#include <cerrno>

#include "access/failure.h"

namespace tamber {

size_t readSome(int fd, void* data, size_t size) {
  for (;;) {
    const ssize_t count = ::read(fd, data, size);
    if (count >= 0) {
      return static_cast<size_t>(count);
    }
    if (errno != EINTR) {
      throw errnoFailure();
    }
  }
}

void writeAll(int fd, const void* data, size_t size) {
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t count = ::write(fd, next, size);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count < 0) {
      throw errnoFailure();
    }
    if (count == 0) {
      // write(2) sets no errno when it stores nothing; never report "Success" as a failure.
      throw errnoFailure(ENOSPC);
    }
    next += count;
    size -= static_cast<size_t>(count);
  }
}

}  // namespace tamber
