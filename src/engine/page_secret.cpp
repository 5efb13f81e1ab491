#include "engine/page_secret.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "base/failure.h"
#include "base/text.h"
#include "platform/fd_io.h"
#include "platform/unique_fd.h"

namespace tamber::engine {

namespace {

constexpr size_t kSecretDigits = 64;

}  // namespace

std::string ensurePageSecret(const std::string& dataDir) {
  const std::string path = dataDir + "/" + kPageSecretName;
  if (std::optional<std::string> kept = readPageSecret(dataDir)) {
    return *kept;
  }
  std::array<unsigned char, kSecretDigits / 2> bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    throw BrokerFailure("No random bytes are available for the page's secret.");
  }
  const std::string secret = hexText(bytes.data(), bytes.size());
  // Written whole under a name of its own, then renamed over whatever was there: a reader
  // sees the old file or the new one, and the new one is 0600 from its first byte.
  const std::string temporary = path + "." + std::to_string(::getpid()) + ".tmp";
  ::unlink(temporary.c_str());
  UniqueFd file(
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file) {
    throw errnoFailure();
  }
  const int error = ::fchmod(file.get(), 0600) != 0 ? errno : writeAll(file.get(), secret + "\n");
  if (error != 0) {
    ::unlink(temporary.c_str());
    throw errnoFailure(error);
  }
  if (::fsync(file.get()) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
    const BrokerFailure failure = errnoFailure();
    ::unlink(temporary.c_str());
    throw failure;
  }
  return secret;
}

bool carriesPageSecret(std::string_view cookies, std::string_view secret) {
  const std::string_view name = kPageCookieName;
  size_t at = 0;
  while (at < cookies.size()) {
    size_t end = cookies.find(';', at);
    if (end == std::string_view::npos) {
      end = cookies.size();
    }
    std::string_view pair = cookies.substr(at, end - at);
    while (!pair.empty() && pair.front() == ' ') {
      pair.remove_prefix(1);
    }
    if (pair.size() > name.size() && pair.compare(0, name.size(), name) == 0 &&
        pair[name.size()] == '=') {
      const std::string_view value = pair.substr(name.size() + 1);
      if (value.size() == secret.size() && !secret.empty() &&
          CRYPTO_memcmp(value.data(), secret.data(), secret.size()) == 0) {
        return true;
      }
    }
    at = end + 1;
  }
  return false;
}

}  // namespace tamber::engine
