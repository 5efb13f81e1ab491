#include "base/page_secret.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fd_io.h"
#include "platform/unique_fd.h"

namespace tamber {

bool isPageSecret(std::string_view text) {
  return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

std::optional<std::string> readPageSecret(const std::string& dataDirectory) {
  const std::string path = dataDirectory + "/" + kPageSecretName;
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat status {};
  if (!file || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      status.st_uid != ::geteuid() || (status.st_mode & 07777) != 0600) {
    return std::nullopt;
  }
  std::string text;
  if (readToEnd(file.get(), text, 66) != 0) {
    return std::nullopt;
  }
  if (text.ends_with('\n')) {
    text.pop_back();
  }
  return isPageSecret(text) ? std::optional<std::string>(text) : std::nullopt;
}

}  // namespace tamber
