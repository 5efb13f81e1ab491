#include "support/waiting.h"

#include <thread>

#include <exception>

namespace tamber::testing {

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::string failureOf(const std::function<void()>& work) {
  try {
    work();
    return "";
  } catch (const std::exception& failure) {
    return failure.what();  // a BrokerFailure's is its sentence
  }
}

}  // namespace tamber::testing
