#pragma once

#include <dirent.h>
#include <unistd.h>

#include <utility>

namespace tamber {

// Owns one file descriptor; closes it exactly once. Move-only, -1 is the empty state.
// close() is never retried on EINTR: on Linux the descriptor is gone either way.
class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset(std::exchange(other.fd_, -1));
    }
    return *this;
  }
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  explicit operator bool() const noexcept { return valid(); }

  // Gives up ownership; the caller must close the returned descriptor.
  int release() noexcept { return std::exchange(fd_, -1); }

  // Closes the held descriptor (if any) and takes ownership of `fd`.
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// Owns one directory stream; closedir() also closes the descriptor it was made from.
class UniqueDir {
 public:
  UniqueDir() noexcept = default;
  explicit UniqueDir(DIR* dir) noexcept : dir_(dir) {}
  UniqueDir(const UniqueDir&) = delete;
  UniqueDir& operator=(const UniqueDir&) = delete;
  UniqueDir(UniqueDir&& other) noexcept : dir_(std::exchange(other.dir_, nullptr)) {}
  UniqueDir& operator=(UniqueDir&& other) noexcept {
    if (this != &other) {
      reset(std::exchange(other.dir_, nullptr));
    }
    return *this;
  }
  ~UniqueDir() { reset(); }

  DIR* get() const noexcept { return dir_; }
  explicit operator bool() const noexcept { return dir_ != nullptr; }

  void reset(DIR* dir = nullptr) noexcept {
    if (dir_ != nullptr) {
      ::closedir(dir_);
    }
    dir_ = dir;
  }

 private:
  DIR* dir_ = nullptr;
};

}  // namespace tamber
