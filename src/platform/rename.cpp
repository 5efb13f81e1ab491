#include "platform/rename.h"

#include <fcntl.h>
#include <stdio.h>

#include <cerrno>

namespace tamber {
namespace {

int renameWithFlags(int fromDir, const char* fromName, int toDir, const char* toName,
                    unsigned int flags) noexcept {
  if (::renameat2(fromDir, fromName, toDir, toName, flags) == 0) {
    return 0;
  }
  return errno;
}

}  // namespace

int renameNoReplace(int fromDir, const char* fromName, int toDir, const char* toName) noexcept {
  return renameWithFlags(fromDir, fromName, toDir, toName, RENAME_NOREPLACE);
}

int renameExchange(int firstDir, const char* firstName, int secondDir,
                   const char* secondName) noexcept {
  return renameWithFlags(firstDir, firstName, secondDir, secondName, RENAME_EXCHANGE);
}

}  // namespace tamber
