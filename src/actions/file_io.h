#pragma once

#include <cstddef>

namespace tamber {

// Small read/write steps shared by the actions. Both retry a call interrupted by a signal
// before it transferred anything, and otherwise throw the system's error text of the failed
// call (taken before anything else runs).

// One read of at most `size` bytes; returns the count read, 0 at end of file.
size_t readSome(int fd, void* data, size_t size);

// Writes all `size` bytes, call after call. A call that writes nothing fails too: the
// space or quota error it stands for is reported as ENOSPC's text.
void writeAll(int fd, const void* data, size_t size);

}  // namespace tamber
