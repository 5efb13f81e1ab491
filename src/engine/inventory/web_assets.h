#pragma once

#include <optional>
#include <string_view>

namespace tamber::engine {

// The content of the file `name` of the engine's web folder ("page.html", "style.css",
// ...), built into the executable; nullopt for any other name. The bytes live as long as
// the program.
std::optional<std::string_view> webAsset(std::string_view name);

}  // namespace tamber::engine
