#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tamber {

// The names between the slashes of `path`, empty ones dropped ("/a//b/" gives "a", "b");
// views into `path`.
std::vector<std::string_view> pathComponents(std::string_view path);

// `path` made absolute against the working directory and lexically normalised ("." and ".."
// settled by name, no trailing slash); links are not resolved.
std::string absolutePath(std::string_view path);

// Where `path` leads: made absolute against the working directory, then every link of its
// longest existing ancestor resolved (realpath, which also settles "." and ".." there), and
// the names that do not exist yet appended with "." and ".." settled by name. Empty when the
// working directory cannot be read or not even "/" resolves.
std::string resolvedPath(std::string_view path);

}  // namespace tamber
