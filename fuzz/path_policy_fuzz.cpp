// Feeds arbitrary bytes to the path policy and grant-root canonicalisation: they must answer
// with a sentence or succeed, never crash, and agree with each other on what they refuse.
#include <cstddef>
#include <cstdint>
#include <string>

#include "access/path_policy.h"
#include "base/failure.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path(reinterpret_cast<const char*>(data), size);

  const std::string mapped(tamber::accessPath(path));
  if (tamber::accessPath(mapped) != mapped) {
    __builtin_trap();  // the alias mapping must be idempotent
  }
  bool refused = false;
  try {
    tamber::guardProtected(path);
  } catch (const tamber::BrokerFailure&) {
    refused = true;
  }
  // The alias is only another spelling: the policy must judge both spellings alike.
  bool mappedRefused = false;
  try {
    tamber::guardProtected(mapped);
  } catch (const tamber::BrokerFailure&) {
    mappedRefused = true;
  }
  if (refused != mappedRefused) {
    __builtin_trap();
  }
  try {
    tamber::guardRootScope(path);
  } catch (const tamber::BrokerFailure&) {
  }
  return 0;
}
