#pragma once

#include <string>

namespace tamber {

// A random version-4 UUID in its canonical upper-case text form (36 characters, hyphens at
// 9, 14, 19 and 24), drawn from OpenSSL's cryptographic generator. Aborts the process if
// the generator cannot produce random bytes: a predictable token is never an option.
std::string randomUuid();

}  // namespace tamber
