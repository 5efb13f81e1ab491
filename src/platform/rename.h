#pragma once

namespace tamber {

// Atomic renames between two directories given by descriptor. Names are single path
// components relative to their directory; nothing is followed or resolved beyond that.
// Both return 0 on success, or the errno value of the failed call (for example EEXIST,
// EXDEV, or EINVAL when the file system does not support the flag). There is deliberately
// no fallback to a plain rename: a rename that may overwrite is never an acceptable stand-in.
// Safe on any thread.

// Renames fromDir/fromName to toDir/toName only if toName does not exist in any form
// (a dangling symbolic link counts as existing). Never copies across file systems.
int renameNoReplace(int fromDir, const char* fromName, int toDir, const char* toName) noexcept;

// Exchanges the two names atomically; both must exist. At no moment is either name missing.
int renameExchange(int firstDir, const char* firstName, int secondDir,
                   const char* secondName) noexcept;

}  // namespace tamber
