#pragma once

// A file system in an image file, loop-mounted for a test. Needs root.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/process.h"
#include "platform/unique_fd.h"
#include "support/temp_dir.h"

namespace tamber::testing {

// Runs the tool `argv[0]`, found in the usual folders; its output, or nullopt when it failed.
inline std::optional<std::string> run(std::vector<std::string> argv) {
  for (const std::string folder : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"}) {
    if (::access((folder + argv[0]).c_str(), X_OK) == 0) {
      argv[0] = folder + argv[0];
      const ProcessResult result = runProcess(argv);
      return result.status == 0 ? std::optional(result.output) : std::nullopt;
    }
  }
  return std::nullopt;
}

// A file system of `type` in an image file, mounted through a loop device on a folder of its
// own for the life of the object; unmounted (which frees the loop device) on every way out.
class LoopFileSystem {
 public:
  explicit LoopFileSystem(const std::string& type) : type_(type) {
    if (::geteuid() != 0) {
      problem_ = "mounting a file system needs root";
      return;
    }
    std::filesystem::resize_file(image_, 512 * 1024 * 1024);
    if (!run({"mkfs." + type, "-q", image_})) {
      problem_ = "mkfs." + type + " failed or is not installed (package " +
                 (type == "xfs" ? "xfsprogs" : "btrfs-progs") + ")";
    } else if (!mount()) {
      problem_ = "mounting " + type + " from a loop device failed";
    }
  }
  ~LoopFileSystem() {
    if (problem_.empty() && !unmount()) {
      run({"umount", "--lazy", mountPoint_});
    }
  }
  LoopFileSystem(const LoopFileSystem&) = delete;
  LoopFileSystem& operator=(const LoopFileSystem&) = delete;

  // Why the file system is not there; empty when it is.
  const std::string& problem() const { return problem_; }
  const std::string& root() const { return mountPoint_; }
  std::string operator/(const std::string& relative) const { return mountPoint_ + "/" + relative; }
  const TempDir& scratch() const { return dir_; }

  // Stops the file system as a power cut would, losing whatever its log holds that was not
  // flushed to the disk, then mounts it again. XFS and ext4 only.
  bool crash() {
    constexpr unsigned long kGoingDown = _IOR('X', 125, uint32_t);
    constexpr uint32_t kWithoutFlushingTheLog = 2;
    uint32_t how = kWithoutFlushingTheLog;
    bool down = false;
    {
      const UniqueFd root(::open(mountPoint_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      down = root && ::ioctl(root.get(), kGoingDown, &how) == 0;
    }  // closed before the unmount
    return down && unmount() && mount();
  }

  // Space in use as the file system reports it to df, once everything written or removed
  // has reached it: XFS frees the blocks of removed files in the background until it is
  // unmounted, Btrfs at the next commit.
  uint64_t used() {
    ::sync();
    if (type_ == "xfs") {
      EXPECT_TRUE(unmount() && mount());
    } else {
      EXPECT_TRUE(run({"btrfs", "filesystem", "sync", mountPoint_}));
    }
    struct statvfs status {};
    ::statvfs(mountPoint_.c_str(), &status);
    return static_cast<uint64_t>(status.f_blocks - status.f_bfree) * status.f_frsize;
  }

 private:
  bool mount() {
    return run({"mount", "-t", type_, "-o", "loop", image_, mountPoint_}).has_value();
  }
  // A process of ours may still be leaving the file system; try for a while.
  bool unmount() {
    ::sync();
    for (int attempt = 0; attempt < 20; ++attempt) {
      if (run({"umount", mountPoint_})) {
        return true;
      }
      ::usleep(100'000);
    }
    return false;
  }

  const std::string type_;
  TempDir dir_;
  const std::string image_ = dir_.write("image", "");
  const std::string mountPoint_ = dir_.mkdir("mount");
  std::string problem_;
};

}  // namespace tamber::testing
