#include "engine/data_directory.h"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "base/failure.h"

namespace tamber::engine {

void ensureDataDirectory(const std::string& dataDir) {
  if (::mkdir(dataDir.c_str(), 0700) == 0 || errno == EEXIST) {
    return;
  }
  if (errno != ENOENT) {
    throw Failure(errnoText(errno));
  }
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(dataDir).parent_path(), error);
  if (::mkdir(dataDir.c_str(), 0700) != 0 && errno != EEXIST) {
    throw Failure(errnoText(errno));
  }
}

}  // namespace tamber::engine
