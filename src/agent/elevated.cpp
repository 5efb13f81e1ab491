#include "agent/elevated.h"

#include <cstdio>

#include "agent/helper_mode.h"
#include "base/base64.h"
#include "base/failure.h"
#include "base/text.h"
#include "base/time.h"
#include "platform/elevation.h"
#include "platform/executable_path.h"

namespace tamber {
namespace {

constexpr long long kCancelledNumber = -128;

constexpr const char* kCancelled =
    "Administrator authorization was cancelled. No privileged file action was performed.";
constexpr const char* kInvalidResponse =
    "Privileged helper returned an invalid response. No successful file action is confirmed.";

std::string launchFailure(long long number) {
  return "Administrator authorization or helper launch failed (Linux error " +
         std::to_string(number) +
         "). This is not proof of cancellation or an expired grant. Check the app and Linux "
         "privacy permissions.";
}

std::optional<Json> helperObject(const std::string& text) {
  Json value = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!value.is_object()) {
    return std::nullopt;
  }
  if (!boolMember(value, "ok")) {
    return std::nullopt;
  }
  return value;
}

std::string stringOr(const Json& request, const char* key, std::string_view fallback) {
  return std::string(stringMember(request, key).value_or(fallback));
}

bool hiddenOrReordering(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
         (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// Agent-chosen names go into a security decision the person reads; a newline or a
// right-to-left override inside one must stay visible instead of rewriting the dialog.
std::string displayable(std::string_view text) {
  const std::string valid = validUtf8(text);
  std::string shown;
  shown.reserve(valid.size());
  for (size_t i = 0; i < valid.size();) {
    const auto lead = static_cast<unsigned char>(valid[i]);
    const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t c = length == 1   ? lead
                 : length == 2 ? lead & 0x1F
                 : length == 3 ? lead & 0x0F
                               : lead & 0x07;
    for (size_t k = 1; k < length; ++k) {
      c = c << 6 | (static_cast<unsigned char>(valid[i + k]) & 0x3F);
    }
    if (hiddenOrReordering(c)) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
      shown += escape;
    } else {
      shown.append(valid, i, length);
    }
    i += length;
  }
  return shown;
}

}  // namespace

std::string approvalInformativeText(const Json& request) {
  const std::string action = displayable(stringOr(request, "action", ""));
  const std::string path = displayable(stringOr(request, "path", ""));
  const std::string destination = displayable(stringOr(request, "destination", "\u2014"));
  return "Action: " + action + "\nSource: " + path + "\nDestination: " + destination +
         "\n\nThis uses administrator access but cannot bypass Linux privacy protection. You "
         "are responsible for approving this action.";
}

LaunchOutcome launchOutcomeOf(const ProcessResult& result) {
  if (result.status == 0) {
    return LaunchOutcome{result.output, std::nullopt};
  }
  if (result.status == kAuthorizationRefusedStatus) {
    return LaunchOutcome{std::nullopt, LaunchError{kCancelledNumber, std::nullopt}};
  }
  return LaunchOutcome{std::nullopt, LaunchError{result.status, result.output}};
}

Json decodePrivilegedReply(const std::optional<std::string>& reply,
                           const std::optional<LaunchError>& error) {
  if (error) {
    if (error->number == kCancelledNumber) {
      throw BrokerFailure(kCancelled);
    }
    // A helper that refused prints its own failure and exits nonzero; that refusal is the
    // answer. A success object next to a failed run proves nothing and is not believed.
    if (error->message) {
      if (std::optional<Json> object = helperObject(*error->message);
          object && !(*object)["ok"].get<bool>()) {
        return *object;
      }
    }
    throw BrokerFailure(launchFailure(error->number.value_or(0)));
  }
  if (reply) {
    if (std::optional<Json> object = helperObject(*reply)) {
      return *object;
    }
  }
  throw BrokerFailure(kInvalidResponse);
}

Json helperPayload(const Json& request, const AgentGrant& grant) {
  Json payload = request.is_object() ? request : Json::object();
  payload.erase("token");
  Json identities = Json::object();
  for (const auto& [root, identity] : grant.identities) {
    identities[root] = Json::array({identity.device, identity.inode});
  }
  payload["roots"] = grant.roots;
  payload["identities"] = std::move(identities);
  payload["edit"] = grant.edit;
  payload["expires"] = epochSeconds(grant.expires);
  return payload;
}

std::string helperRequest(const Json& request, const AgentGrant& grant) {
  return base64Encode(jsonData(helperPayload(request, grant)));
}

HelperLauncher administratorHelperLauncher() {
  return [](const std::string& request) {
    const std::string executable = ownExecutablePath();
    require(!executable.empty(), "Administrator helper script could not be created");
    return administratorHelperLauncher(executable)(request);
  };
}

HelperLauncher administratorHelperLauncher(std::string executable) {
  return [executable = std::move(executable)](const std::string& request) {
    return runProcess(administratorCommand({executable, kPrivilegedOpFlag, request}));
  };
}

ProcessResult runUnprivilegedShell(const std::string& command) {
  return runProcess({"/bin/sh", "-c", command});
}

Json elevated(const Json& request, const AgentGrant& grant, const HelperLauncher& launch) {
  const LaunchOutcome outcome = launchOutcomeOf(launch(helperRequest(request, grant)));
  return decodePrivilegedReply(outcome.reply, outcome.error);
}

Json runElevatedRequest(const Json& request, const std::string& token, const AgentGrant& grant,
                        const GrantStore& grants, ElevatedApprover& approver,
                        const HelperLauncher& launch) noexcept {
  try {
    require(approver.approve(kApprovalMessageText, approvalInformativeText(request)),
            "Elevated action denied");
    // The dialog may have stayed open past the grant's end or a revocation; the grant taken
    // before it would not know.
    grants.get(token);
    return elevated(request, grant, launch);
  } catch (const BrokerFailure& failure) {
    return failureReply(failure.description());
  } catch (const std::exception& error) {
    return failureReply(error.what());
  } catch (...) {
    // Whatever went wrong, it was not an approval.
    return failureReply("Elevated action denied");
  }
}

}  // namespace tamber
