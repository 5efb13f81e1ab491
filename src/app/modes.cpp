#include "app/modes.h"

#include <cstdio>
#include <exception>

#include "agent/helper_mode.h"
#include "base/failure.h"
#include "desktop/gtk/desktop_entry.h"
#include "selfcheck/broker_self_test.h"

namespace tamber {
namespace {

void reportFailure(const std::string& description) {
  const std::string line = description + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace

std::optional<std::string> arg(const std::vector<std::string>& arguments, std::string_view name) {
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i] == name) {
      if (i + 1 == arguments.size()) {
        return std::nullopt;
      }
      return arguments[i + 1];
    }
  }
  return std::nullopt;
}

int runSelectedMode(const std::vector<std::string>& arguments) {
  // Only a lone "--version": after another flag it is that flag's value, as any argument is.
  if (arguments.size() == 2 && arguments[1] == "--version") {
    std::fputs("tamber " TAMBER_VERSION "\n", stdout);
    return 0;
  }
  if (std::optional<std::string> request = arg(arguments, kPrivilegedOpFlag)) {
    runPrivilegedHelper(*request);
  }
  if (std::optional<std::string> root = arg(arguments, "--self-test")) {
    try {
      brokerSelfTest(*root);
      return 0;
    } catch (const BrokerFailure& failure) {
      reportFailure(failure.description());
    } catch (const std::exception& error) {
      reportFailure(error.what());
    }
    return 1;
  }
  return desktop::runDesktop(arguments);
}

}  // namespace tamber
