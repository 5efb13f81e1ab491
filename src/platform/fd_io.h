#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <limits>
#include <string>
#include <string_view>

namespace tamber {

// The descriptor I/O every layer uses. Each retries a call that a signal interrupted before
// it transferred anything, and reports failure by the error number of the call that failed,
// taken right after it.

// One read of at most `size` bytes: the count read, 0 at the end, or -1 with errno set.
ssize_t readSome(int fd, void* data, size_t size);

// The same from `offset`, leaving the descriptor's own offset where it was.
ssize_t readSomeAt(int fd, void* data, size_t size, off_t offset);

// Writes every byte, call after call. Returns 0, or the error number of the call that failed;
// a call that wrote nothing stands for the space or quota error it means: ENOSPC.
int writeAll(int fd, std::string_view bytes);

// Reads until the end of the stream, appending to `out`; past `limit` bytes the rest is read
// and dropped. Returns 0, or the error number of the read that failed (what came before it is
// kept in `out`).
int readToEnd(int fd, std::string& out, size_t limit = std::numeric_limits<size_t>::max());

// How long a wait that is usually short stays awake before it sleeps: on a virtual machine,
// waking a CPU that went idle can cost more than the wait (tens of microseconds each time).
inline constexpr std::chrono::microseconds kAwakeWait{200};

// Looks at `fd` for `events` without sleeping, for at most `spin`: true once it is ready (or
// has failed), false when the time is up with nothing there; the caller's own wait follows.
bool pollBriefly(int fd, short events, std::chrono::microseconds spin = kAwakeWait);

// Replaces what the file at `path` holds with `text`; the file is created (mode 0644 less the
// umask) when missing, and a symbolic link at `path` is refused rather than followed. Returns
// 0 or the error number of the call that failed.
int writeWholeFile(const std::string& path, std::string_view text);

// The whole content of the file at `path` into `out`; a symbolic link at `path` is refused.
// Returns 0 or the error number of the call that failed.
int readWholeFile(const std::string& path, std::string& out);

}  // namespace tamber
