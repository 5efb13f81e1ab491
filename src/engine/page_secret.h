#pragma once

#include <string>
#include <string_view>

#include "base/page_secret.h"

namespace tamber::engine {

// The secret of `dataDir`, 64 lower-case hexadecimal digits. A file that is missing, is not
// a regular file of this user with mode 0600, or holds anything else is replaced by a new
// random secret first. Throws BrokerFailure with the system's text.
std::string ensurePageSecret(const std::string& dataDir);

// True when the Cookie header `cookies` carries `secret` in the page cookie. Takes the same
// time for every wrong secret of the right length.
bool carriesPageSecret(std::string_view cookies, std::string_view secret);

}  // namespace tamber::engine
