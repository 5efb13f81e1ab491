#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace tamber::testing {

// Polls `condition` until it holds (true) or `limit` passes (false).
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit);

// The text of what `work` throws (a BrokerFailure's sentence, a parser's message), or ""
// when it succeeds.
std::string failureOf(const std::function<void()>& work);

}  // namespace tamber::testing
