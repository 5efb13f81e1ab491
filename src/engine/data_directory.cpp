#include "engine/data_directory.h"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "base/failure.h"
#include "base/private_directory.h"

namespace tamber::engine {

void prepareDataDirectory(const std::string& dataDir, bool create) {
  if (create && ::mkdir(dataDir.c_str(), 0700) != 0 && errno == ENOENT) {
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(dataDir).parent_path(), error);
    ::mkdir(dataDir.c_str(), 0700);
  }
  struct stat status {};
  if (!create && ::lstat(dataDir.c_str(), &status) != 0 && errno == ENOENT) {
    return;
  }
  makeDataDirectoryPrivate(dataDir);
}

}  // namespace tamber::engine
