#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace tamber {

// A failure for a person to read: one fixed English sentence, or the system's own error text.
// Its text is exactly that; catchers show or send it unchanged.
class Failure : public std::exception {
 public:
  explicit Failure(std::string description) : description_(std::move(description)) {}

  const std::string& description() const noexcept { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  std::string description_;
};

// The broker's refusal of a request, and the desktop's of a grant: the sentence an agent
// receives as "error" or the user sees in an alert.
class BrokerFailure : public Failure {
 public:
  using Failure::Failure;
};

// Throws BrokerFailure(message) when `condition` is false; does nothing otherwise.
void require(bool condition, std::string_view message);

// Returns a failure carrying strerror's text for the current errno, with nothing added.
// Call it right after the failing system call, before any clean-up that may change errno.
BrokerFailure errnoFailure();

// Same, for an error number already saved by the caller.
BrokerFailure errnoFailure(int errorNumber);

// strerror's text for `errorNumber`; thread-safe.
std::string errnoText(int errorNumber);

}  // namespace tamber
