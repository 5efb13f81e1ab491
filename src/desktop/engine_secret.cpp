#include "desktop/engine_secret.h"

#include <fcntl.h>
#include <unistd.h>

#include "platform/unique_fd.h"

namespace tamber::desktop {

namespace {

constexpr size_t kSecretDigits = 64;

}  // namespace

std::optional<std::string> readEngineSecret(const std::string& dataDirectory) {
  const std::string path = dataDirectory + "/page-secret";
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file) {
    return std::nullopt;
  }
  char text[kSecretDigits + 2];
  const ssize_t n = ::read(file.get(), text, sizeof text);
  if (n != static_cast<ssize_t>(kSecretDigits) &&
      !(n == static_cast<ssize_t>(kSecretDigits) + 1 && text[kSecretDigits] == '\n')) {
    return std::nullopt;
  }
  std::string secret(text, kSecretDigits);
  if (secret.find_first_not_of("0123456789abcdef") != std::string::npos) {
    return std::nullopt;
  }
  return secret;
}

}  // namespace tamber::desktop
