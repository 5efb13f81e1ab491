#include "base/home_folder.h"

#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace tamber {

std::string homeFolder(const std::optional<std::string>& homeVariable) {
  if (homeVariable && homeVariable->starts_with('/')) {
    return *homeVariable;
  }
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return {};
}

}  // namespace tamber
