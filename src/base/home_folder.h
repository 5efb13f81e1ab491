#pragma once

#include <optional>
#include <string>

namespace tamber {

// The user's home folder: `homeVariable` (the value of HOME) when it is an absolute path, else
// the password database's entry for the real user id; empty when neither is known.
std::string homeFolder(const std::optional<std::string>& homeVariable);

}  // namespace tamber
