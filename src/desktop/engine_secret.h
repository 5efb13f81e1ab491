#pragma once

#include <optional>
#include <string>

namespace tamber::desktop {

// The engine serves its page only to requests that carry the secret it keeps in the data
// directory, in this cookie; the window gives it to the page's web view before it loads the
// page, as a cookie for the engine's own address.
inline constexpr char kEngineSecretCookie[] = "larkspan_page";

// The secret the engine keeps in `dataDirectory` ("page-secret": 64 lower-case hexadecimal
// digits, a newline after them or not). Nothing when there is none to use: missing, not a
// regular file, a symbolic link, or holding anything else. Any thread.
std::optional<std::string> readEngineSecret(const std::string& dataDirectory);

}  // namespace tamber::desktop
