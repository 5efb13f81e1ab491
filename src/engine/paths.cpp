#include "engine/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "base/failure.h"
#include "platform/executable_path.h"

namespace tamber::engine {

std::string absolutePath(const std::string& path) {
  std::error_code ignored;
  std::string result = std::filesystem::absolute(path, ignored).lexically_normal().string();
  while (result.size() > 1 && result.back() == '/') {
    result.pop_back();
  }
  return result;
}

std::string engineExecutable(const std::string& program) {
  std::string path = ownExecutablePath();
  if (path.empty()) {
    path = program.find('/') != std::string::npos ? absolutePath(program) : program;
  }
  return path;
}

void ensureDataDirectory(const std::string& dataDir) {
  if (::mkdir(dataDir.c_str(), 0700) == 0 || errno == EEXIST) {
    return;
  }
  if (errno != ENOENT) {
    throw errnoFailure();
  }
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(dataDir).parent_path(), error);
  if (::mkdir(dataDir.c_str(), 0700) != 0 && errno != EEXIST) {
    throw errnoFailure();
  }
}

}  // namespace tamber::engine
