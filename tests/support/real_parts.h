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

// A mount on the folder `at` for the life of the object, unmounted on every way out: a tmpfs
// (`options` as mount -o takes them, or none), or with `bindFrom`, that folder bound there.
// Only root can mount: see mounted().
class TestMount {
 public:
  explicit TestMount(std::string at, const std::string& options = "",
                     const std::string& bindFrom = "")
      : at_(std::move(at)) {
    std::vector<std::string> argv{"/bin/mount"};
    if (!bindFrom.empty()) {
      argv.insert(argv.end(), {"--bind", bindFrom});
    } else {
      argv.insert(argv.end(), {"-t", "tmpfs"});
      if (!options.empty()) {
        argv.insert(argv.end(), {"-o", options});
      }
      argv.push_back("tmpfs");
    }
    argv.push_back(at_);
    mounted_ = ::geteuid() == 0 && runProcess(argv).status == 0;
  }
  ~TestMount() {
    if (mounted_) {
      runProcess({"/bin/umount", "--lazy", at_});
    }
  }
  TestMount(const TestMount&) = delete;
  TestMount& operator=(const TestMount&) = delete;

  bool mounted() const { return mounted_; }

 private:
  std::string at_;
  bool mounted_ = false;
};

}  // namespace tamber::testing
