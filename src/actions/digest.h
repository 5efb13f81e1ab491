#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "access/grant.h"

namespace tamber {

// The point in time after which an action gives up; one per executor call.
using Deadline = WallClock::time_point;

// Asked between the chunks of long work (a copy and its digests): false once nobody waits for
// the result any more, because the client that asked went away. The work then stops there with
// kClientGone, as it stops at its deadline. Empty: always wanted.
using StillWanted = std::function<bool()>;
inline constexpr const char* kClientGone = "The client went away; the action was stopped";

// SHA-256 of every byte of the open file `fd` from offset 0 to its end, as 64 lower-case
// hexadecimal characters. Rewinds `fd` first and leaves its offset wherever reading stopped;
// does not close it. Reads through one 64 KiB buffer, so memory does not grow with the file.
// Checks the clock before the first read and after every read that returned data, and throws
// "Operation time budget reached" once `deadline` is not in the future, and kClientGone once
// `stillWanted` says so; a failed read throws the system's error text. Never returns a partial
// digest. Not safe to run twice on one descriptor at the same time (it moves the offset); otherwise
// any thread.
std::string digest(int fd, Deadline deadline, const StillWanted& stillWanted = {});

// SHA-256 of `size` bytes already in memory, in the same text form as digest().
std::string memoryDigest(const void* data, size_t size);

}  // namespace tamber
