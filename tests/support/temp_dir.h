#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace tamber::testing {

// A fresh folder under /tmp (never under $TMPDIR, which may sit in a protected tree such as
// /root), or under `parent`, removed with everything in it when the owner goes away.
class TempDir {
 public:
  explicit TempDir(const std::string& parent = "/tmp") {
    std::string pattern = parent + "/tamber-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

  // Creates the folder `relative` (and its parents) and returns its absolute path.
  std::string mkdir(const std::string& relative) const {
    std::filesystem::create_directories(*this / relative);
    return *this / relative;
  }

  // Writes `content` to the file `relative` and returns its absolute path.
  std::string write(const std::string& relative, const std::string& content) const {
    std::ofstream out(*this / relative, std::ios::binary);
    out << content;
    return *this / relative;
  }

 private:
  std::string path_;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace tamber::testing
