#pragma once

#include <string>
#include <string_view>

namespace tamber::engine {

// The engine's page is private to its user: every request but the identity probe must carry
// the secret kept in the data directory, in the cookie below. Only the user can read the
// file (0600, in the user's 0700 data directory); the Tamber app reads it and gives it to its
// web view as a cookie for the engine's own address before it loads the page.

// The cookie's name; its value is the secret.
inline constexpr char kPageCookieName[] = "larkspan_page";

// Where the secret of `dataDir` is kept.
std::string pageSecretPath(const std::string& dataDir);

// The secret of `dataDir`, 64 lower-case hexadecimal digits. A file that is missing, is not
// a regular file of this user with mode 0600, or holds anything else is replaced by a new
// random secret first. Throws BrokerFailure with the system's text.
std::string ensurePageSecret(const std::string& dataDir);

// True when the Cookie header `cookies` carries `secret` in the page cookie. Takes the same
// time for every wrong secret of the right length.
bool carriesPageSecret(std::string_view cookies, std::string_view secret);

}  // namespace tamber::engine
