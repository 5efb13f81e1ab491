#include "base/path.h"

#include <unistd.h>
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace tamber {

std::vector<std::string_view> pathComponents(std::string_view path) {
  std::vector<std::string_view> parts;
  // One allocation: the broker splits a path or two for every request it answers.
  parts.reserve(static_cast<size_t>(std::count(path.begin(), path.end(), '/')) + 1);
  while (!path.empty()) {
    const size_t slash = path.find('/');
    const std::string_view part = path.substr(0, slash);
    if (!part.empty()) {
      parts.push_back(part);
    }
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
  }
  return parts;
}

std::string absolutePath(std::string_view path) {
  std::error_code ignored;
  std::string result = std::filesystem::absolute(path, ignored).lexically_normal().string();
  while (result.size() > 1 && result.back() == '/') {
    result.pop_back();
  }
  return result;
}

std::string resolvedPath(std::string_view path) {
  std::string absolute(path);
  if (!absolute.starts_with('/')) {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) {
      return {};
    }
    absolute = std::string(cwd) + "/" + absolute;
  }
  const std::vector<std::string_view> parts = pathComponents(absolute);
  for (size_t keep = parts.size() + 1; keep-- > 0;) {
    std::string prefix;
    for (size_t i = 0; i < keep; ++i) {
      prefix.append("/").append(parts[i]);
    }
    const std::unique_ptr<char, decltype(&std::free)> real(
        ::realpath(prefix.empty() ? "/" : prefix.c_str(), nullptr), &std::free);
    if (!real) {
      continue;
    }
    std::vector<std::string> resolved;
    for (std::string_view part : pathComponents(real.get())) {
      resolved.emplace_back(part);
    }
    for (size_t i = keep; i < parts.size(); ++i) {
      if (parts[i] == "..") {
        if (!resolved.empty()) {
          resolved.pop_back();
        }
      } else if (parts[i] != ".") {
        resolved.emplace_back(parts[i]);
      }
    }
    std::string result;
    for (const std::string& part : resolved) {
      result += "/" + part;
    }
    return result.empty() ? "/" : result;
  }
  return {};
}

}  // namespace tamber
