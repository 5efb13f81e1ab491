#pragma once

#include <optional>
#include <string>

namespace tamber {

// The engine's page is private to its user: every request but the identity probe must carry
// the secret the engine keeps in the data directory, in the cookie below. Only the user can
// read the file (0600, in the user's 0700 data directory); the desktop reads it and gives it
// to its web view as a cookie for the engine's own address before it loads the page.
inline constexpr char kPageSecretName[] = "page-secret";
inline constexpr char kPageCookieName[] = "larkspan_page";

// True for a secret's text: 64 lower-case hexadecimal digits.
bool isPageSecret(std::string_view text);

// The secret kept in `dataDirectory`: 64 lower-case hexadecimal digits, a newline after them
// or not, in a regular file of this user with mode 0600 (a link there is not followed).
// Nothing when there is none to trust. Any thread.
std::optional<std::string> readPageSecret(const std::string& dataDirectory);

// The engine's side: the secret kept in `dataDirectory`. A file that readPageSecret would not
// trust is replaced by a new random secret first, written whole under a name of its own and
// renamed into place. Throws Failure with the system's text.
std::string ensurePageSecret(const std::string& dataDirectory);

}  // namespace tamber
