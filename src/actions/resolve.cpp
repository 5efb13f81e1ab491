#include "actions/resolve.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <vector>

#include "access/path_policy.h"
#include "base/failure.h"
#include "base/path.h"

namespace tamber {
namespace {

constexpr const char* kNotAbsolute = "Absolute, non-traversing path required";
constexpr const char* kOutside = "Path is outside the selected grant folders";
constexpr const char* kIdentityChanged = "Selected folder identity changed; revoke and reselect it";
constexpr const char* kNotSingleRegular =
    "Only regular, single-link files may be opened or changed";

// O_NONBLOCK keeps a named pipe or device from holding the open; O_NOFOLLOW refuses a link
// as the final name, and every name is final because the walk goes one component at a time.
constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
constexpr int kFileFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// Whether any name between the slashes of `path` is "..". Runs on every path an agent names,
// so it walks the text rather than building the list of components.
bool hasParentComponent(std::string_view path) {
  for (size_t at = 0; (at = path.find("..", at)) != std::string_view::npos; at += 2) {
    const size_t end = at + 2;
    if ((at == 0 || path[at - 1] == '/') && (end == path.size() || path[end] == '/')) {
      return true;
    }
  }
  return false;
}

bool insideRoot(std::string_view path, std::string_view root) {
  return path.starts_with(root) && (path.size() == root.size() || path[root.size()] == '/');
}

}  // namespace

CheckedPath checkPath(std::string_view path, const AgentGrant& grant) {
  CheckedPath checked{std::string(path), std::string(accessPath(path)), {}};
  require(checked.path.starts_with('/') && checked.path.find('\0') == std::string::npos &&
              !hasParentComponent(checked.path),
          kNotAbsolute);
  guardProtected(checked.path);

  // The longest root that holds the path, so a path inside a folder nested in another granted
  // folder is reached from (and checked against the identity of) the inner one.
  for (const std::string& root : grant.roots) {
    if (insideRoot(checked.path, root) && root.size() > checked.root.size()) {
      checked.root = root;
    }
  }
  require(!checked.root.empty(), kOutside);
  return checked;
}

ResolvedPath openParent(const CheckedPath& path, const AgentGrant& grant) {
  const std::vector<std::string_view> below =
      pathComponents(std::string_view(path.path).substr(path.root.size()));

  // The root is the one path handed to the kernel whole; its identity check below is what
  // catches a folder deleted, moved or swapped for a link since the user granted it.
  UniqueFd current(::open(path.root.c_str(), kDirectoryFlags));
  if (!current) {
    throw errnoFailure();
  }
  struct stat status {};
  const auto identity = grant.identities.find(path.root);
  require(::fstat(current.get(), &status) == 0 && identity != grant.identities.end() &&
              identity->second == identityOf(status),
          kIdentityChanged);

  for (size_t i = 0; i + 1 < below.size(); ++i) {
    UniqueFd next(::openat(current.get(), std::string(below[i]).c_str(), kDirectoryFlags));
    if (!next) {
      throw errnoFailure();
    }
    current = std::move(next);
  }
  return ResolvedPath{std::move(current), below.empty() ? "." : std::string(below.back())};
}

UniqueFd regularFD(int directory, const std::string& name) {
  UniqueFd file(::openat(directory, name.c_str(), kFileFlags));
  if (!file) {
    throw errnoFailure();
  }
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) {
    throw errnoFailure();
  }
  require(S_ISREG(status.st_mode) && status.st_nlink == 1, kNotSingleRegular);
  return file;
}

}  // namespace tamber
