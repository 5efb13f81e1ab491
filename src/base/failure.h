#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace tamber {

// The one failure of the broker: a fixed English sentence for a person or an agent to read.
// Its text is exactly the sentence; catchers show or send it unchanged.
class BrokerFailure : public std::exception {
 public:
  explicit BrokerFailure(std::string description) : description_(std::move(description)) {}

  const std::string& description() const noexcept { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  std::string description_;
};

// Throws BrokerFailure(message) when `condition` is false; does nothing otherwise.
void require(bool condition, std::string_view message);

// Returns a failure carrying strerror's text for the current errno, with nothing added.
// Call it right after the failing system call, before any clean-up that may change errno.
BrokerFailure errnoFailure();

// Same, for an error number already saved by the caller.
BrokerFailure errnoFailure(int errorNumber);

}  // namespace tamber
