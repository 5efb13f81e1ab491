#include "actions/digest.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <memory>
#include <vector>

#include "base/failure.h"
#include "base/text.h"
#include "platform/fd_io.h"

namespace tamber {
namespace {

constexpr size_t kChunk = 65536;
constexpr const char* kBudget = "Operation time budget reached";

using DigestContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

}  // namespace

std::string digest(int fd, Deadline deadline, const StillWanted& stillWanted) {
  // Unchecked: callers pass regular files, which can always be rewound.
  ::lseek(fd, 0, SEEK_SET);

  DigestContext context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    // Only an allocation failure inside libcrypto ends up here.
    throw errnoFailure(ENOMEM);
  }
  std::vector<unsigned char> buffer(kChunk);

  require(WallClock::now() < deadline, kBudget);
  for (;;) {
    const ssize_t count = readSome(fd, buffer.data(), buffer.size());
    if (count < 0) {
      throw errnoFailure();
    }
    if (count == 0) {
      break;
    }
    EVP_DigestUpdate(context.get(), buffer.data(), static_cast<size_t>(count));
    require(WallClock::now() < deadline, kBudget);
    require(!stillWanted || stillWanted(), kClientGone);
  }

  std::array<unsigned char, EVP_MAX_MD_SIZE> value{};
  unsigned int length = 0;
  EVP_DigestFinal_ex(context.get(), value.data(), &length);
  return hexText(value.data(), length);
}

std::string memoryDigest(const void* data, size_t size) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> value{};
  unsigned int length = 0;
  if (EVP_Digest(data, size, value.data(), &length, EVP_sha256(), nullptr) != 1) {
    throw errnoFailure(ENOMEM);
  }
  return hexText(value.data(), length);
}

}  // namespace tamber
