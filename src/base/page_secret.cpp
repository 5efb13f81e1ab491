#include "base/page_secret.h"

#include <fcntl.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "base/failure.h"
#include "base/text.h"
#include "platform/fd_io.h"
#include "platform/unique_fd.h"

namespace tamber {

namespace {

constexpr size_t kSecretDigits = 64;

}  // namespace

bool isPageSecret(std::string_view text) {
  return text.size() == kSecretDigits &&
         text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
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

std::string ensurePageSecret(const std::string& dataDirectory) {
  if (std::optional<std::string> kept = readPageSecret(dataDirectory)) {
    return *kept;
  }
  std::array<unsigned char, kSecretDigits / 2> bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    throw Failure("No random bytes are available for the page's secret.");
  }
  const std::string secret = hexText(bytes.data(), bytes.size());
  // Written whole under a name of its own, then renamed over whatever was there: a reader
  // sees the old file or the new one, and the new one is 0600 from its first byte.
  const std::string path = dataDirectory + "/" + kPageSecretName;
  const std::string temporary = path + "." + std::to_string(::getpid()) + ".tmp";
  ::unlink(temporary.c_str());
  UniqueFd file(
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file) {
    throw Failure(errnoText(errno));
  }
  int error = ::fchmod(file.get(), 0600) != 0 ? errno : writeAll(file.get(), secret + "\n");
  if (error == 0 && (::fsync(file.get()) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0)) {
    error = errno;
  }
  if (error != 0) {
    ::unlink(temporary.c_str());
    throw Failure(errnoText(error));
  }
  return secret;
}

}  // namespace tamber
