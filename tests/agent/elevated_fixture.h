#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "agent/elevated.h"

namespace tamber::testing {

// The sentence for a helper run that ended with `number` (its status, or pkexec's).
inline std::string launchFailure(int number) {
  return "Administrator authorization or helper launch failed (Linux error " +
         std::to_string(number) +
         "). This is not proof of cancellation or an expired grant. Check the app and Linux "
         "privacy permissions.";
}

// The person at the approval dialog, scripted: runs the "main thread" work inline (unless the
// UI is shutting down), answers with `decision` after `whileOpen`, and records each dialog's
// "title|body" and how many were ever open at once. The broker asks one dialog at a time, so
// `shown` needs no lock while that holds; `maxOpen` says when it does not.
class ScriptedApprover : public ElevatedApprover {
 public:
  void runOnMainThread(const std::function<void()>& work) override {
    if (runWork) {
      work();
    }
  }
  bool approve(const std::string& messageText, const std::string& informativeText) override {
    const int now = ++open_;
    maxOpen = std::max(maxOpen.load(), now);
    shown.push_back(messageText + "|" + informativeText);
    std::this_thread::sleep_for(holdFor);
    whileOpen();
    --open_;
    return decision;
  }

  std::atomic<bool> decision{true};
  std::atomic<bool> runWork{true};
  std::chrono::milliseconds holdFor{0};
  std::function<void()> whileOpen = [] {};
  std::vector<std::string> shown;
  std::atomic<int> maxOpen{0};

 private:
  std::atomic<int> open_{0};
};

}  // namespace tamber::testing
