#pragma once

// What tests of real parts (mounts, a system bus, a display) share: skipping with the reason
// where the part cannot be had, or failing where real parts are required (as in CI).
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/process.h"

// Skips the test for the reason `why`, or fails it where real parts are required.
#define SKIP_WITHOUT_REAL_PART(why)                            \
  do {                                                         \
    if (std::getenv("TAMBER_REQUIRE_REAL_PARTS") != nullptr) { \
      FAIL() << (why);                                         \
    }                                                          \
    GTEST_SKIP() << (why);                                     \
  } while (false)

namespace tamber::testing {

// A tmpfs mounted on the folder `at` for the life of the object (`options` as mount -o takes
// them, or none), and unmounted on every way out. Only root can mount: see mounted().
class TmpfsMount {
 public:
  explicit TmpfsMount(std::string at, const std::string& options = "") : at_(std::move(at)) {
    mounted_ = ::geteuid() == 0 &&
               runProcess(options.empty()
                              ? std::vector<std::string>{"/bin/mount", "-t", "tmpfs", "tmpfs", at_}
                              : std::vector<std::string>{"/bin/mount", "-t", "tmpfs", "-o", options,
                                                         "tmpfs", at_})
                       .status == 0;
  }
  ~TmpfsMount() {
    if (mounted_) {
      runProcess({"/bin/umount", "--lazy", at_});
    }
  }
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;

  bool mounted() const { return mounted_; }

 private:
  std::string at_;
  bool mounted_ = false;
};

}  // namespace tamber::testing
