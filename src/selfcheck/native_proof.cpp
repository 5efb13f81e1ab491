#include "selfcheck/native_proof.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "base/failure.h"
#include "platform/fd_io.h"
#include "platform/unique_fd.h"

namespace tamber {
namespace {

constexpr const char* kNoDomProof = "Native renderer did not produce DOM proof";
constexpr const char* kMissingControls =
    "Native app must show the actual indexed UI and access controls";

bool isTrue(const Json& object, const char* key) {
  return boolMember(object, key).value_or(false);
}

// A write over whatever file is there (but never through a link): the report is read once
// the process has ended.
void writeReport(const std::string& path, const std::string& text) {
  if (const int error = writeWholeFile(path, text)) {
    throw errnoFailure(error);
  }
}

}  // namespace

Json domProof(const std::optional<std::string>& result) {
  require(result.has_value(), kNoDomProof);
  Json page = Json::parse(*result);
  require(page.is_object(), kNoDomProof);
  const auto rows = page.find("rows");
  require(stringMember(page, "title") == "Tamber" && isTrue(page, "invite") &&
              isTrue(page, "ordinary") && isTrue(page, "elevated") && rows != page.end() &&
              ((rows->is_number_unsigned() && rows->get<std::uint64_t>() > 0) ||
               (rows->is_number_integer() && rows->get<std::int64_t>() > 0)),
          kMissingControls);
  return page;
}

void requireAgentInstructions(const std::string& invitation) {
  require(invitation.find("CLI:") != std::string::npos &&
              invitation.find("TAMBER_GRANT") != std::string::npos,
          "Invitation missing agent instructions");
}

Json nativeProofReport(const Json& webKitRendered, const Json& agentBroker, bool noGrants) {
  return Json{
      {"agent_broker", agentBroker},  {"passed", true},
      {"native_window", true},        {"web_kit_rendered", webKitRendered},
      {"invitation_generated", true}, {"file_grants_default_none", noGrants},
      {"fixture_only", true},         {"os_auth_ui_verified", false},
  };
}

Json completeNativeProof(const std::optional<std::string>& domResult, const std::string& reportPath,
                         const NativeProofSteps& steps) {
  const Json page = domProof(domResult);
  requireAgentInstructions(steps.invitation());
  const Json agentBroker = steps.agentClientProof();
  Json report = nativeProofReport(page, agentBroker, steps.noGrants());
  writeReport(reportPath, jsonData(report));
  return report;
}

std::string proofSnapshotPath(const std::string& reportPath) {
  return reportPath + ".png";
}

std::string nativeFailureLine(const std::exception& failure) {
  return std::string(kNativeFailurePrefix) + failure.what() + "\n";
}

}  // namespace tamber
