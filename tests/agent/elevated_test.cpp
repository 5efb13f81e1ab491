#include <vector>

#include <gtest/gtest.h>

#include "agent/elevated.h"
#include "agent/elevated_fixture.h"
#include "base/base64.h"
#include "base/failure.h"
#include "base/text.h"
#include "support/temp_dir.h"
#include "support/waiting.h"

namespace tamber {
namespace {

using testing::launchFailure;
using testing::ScriptedApprover;
using testing::TempDir;

const std::string kCancelled =
    "Administrator authorization was cancelled. No privileged file action was performed.";
const std::string kInvalid =
    "Privileged helper returned an invalid response. No successful file action is confirmed.";

// How the launcher's run of the helper (its exit status and output) reaches the agent: the
// reply, or "failure: " and the sentence thrown.
TEST(HelperReply, DistinguishesCancellationDenialLaunchFailureAndGarbage) {
  const std::string denial = R"({"error":"Folder identities required","ok":false})";
  struct Case {
    int status;
    std::string output;
    std::string expected;
  };
  std::vector<Case> cases = {
      {0, "{\"ok\":true,\"size\":3}\n", R"({"ok":true,"size":3})"},
      // The helper's own refusal survives its nonzero exit, byte for byte after serialisation.
      {1, denial, denial},
      // pkexec's "dismissed or not authorised" is a cancellation, even with text beside it.
      {126, denial, "failure: " + kCancelled},
      // A success claim next to a failed run is not believed.
      {1, R"({"ok":true,"size":1})", "failure: " + launchFailure(1)},
      {128 + 9, "", "failure: " + launchFailure(137)},
  };
  for (const char* garbage :
       {"not JSON", R"({"other":true})", "[true]", "{\"ok\":1}", "{\"ok\":true}{\"ok\":true}"}) {
    cases.push_back({0, garbage, "failure: " + kInvalid});
  }
  for (const Case& run : cases) {
    std::string reply;
    const std::string failure = testing::failureOf([&] {
      const LaunchOutcome outcome = launchOutcomeOf(ProcessResult{run.status, run.output});
      reply = jsonData(decodePrivilegedReply(outcome.reply, outcome.error));
    });
    EXPECT_EQ(failure.empty() ? reply : "failure: " + failure, run.expected)
        << run.status << " " << run.output;
  }
}

TEST(HelperRequest, CarriesTheGrantScopeAndNeverTheToken) {
  const AgentGrant grant{
      "SECRET-TOKEN",
      {"/srv/work/a", "/srv/work/b"},
      /*edit=*/true,
      /*elevated=*/true,
      WallClock::time_point(std::chrono::milliseconds(1'800'000'000'500)),
      {{"/srv/work/a", {66306, 12}}, {"/srv/work/b", {18446744073709551615u, 13}}}};

  // The agent's own values for the grant's fields are overwritten.
  const Json request{{"token", "SECRET-TOKEN"}, {"action", "move"},
                     {"path", "/srv/work/a/x"}, {"destination", "/srv/work/b/x"},
                     {"roots", {"/"}},          {"edit", false},
                     {"expires", 9e18},         {"identities", 7}};
  EXPECT_EQ(Json::parse(*strictBase64Decode(helperRequest(request, grant))),
            (Json{{"action", "move"},
                  {"path", "/srv/work/a/x"},
                  {"destination", "/srv/work/b/x"},
                  {"roots", {"/srv/work/a", "/srv/work/b"}},
                  {"edit", true},
                  {"expires", 1'800'000'000.5},
                  {"identities",
                   {{"/srv/work/a", {66306, 12}}, {"/srv/work/b", {18446744073709551615u, 13}}}}}));
}

TEST(ApprovalText, NamesTheRequestAndKeepsHiddenCharactersVisible) {
  EXPECT_EQ(
      approvalInformativeText(Json{{"action", "move"}, {"path", "/w/a"}, {"destination", "/w/b"}}),
      "Action: move\nSource: /w/a\nDestination: /w/b\n\nThis uses administrator access "
      "but cannot bypass Linux privacy protection. You are responsible for approving "
      "this action.");
  EXPECT_TRUE(approvalInformativeText(Json{{"action", 1}, {"path", nullptr}, {"destination", 2}})
                  .starts_with("Action: \nSource: \nDestination: \u2014\n\n"));
  // A file name cannot forge a line of the dialog or flip the text's direction.
  const std::string forged = approvalInformativeText(
      Json{{"action", "read"}, {"path", "/w/a\nDestination: /w/harmless\u202Etxt.exe"}});
  EXPECT_TRUE(forged.starts_with(
      "Action: read\nSource: /w/a\\u000ADestination: /w/harmless\\u202Etxt.exe\nDestination: "))
      << forged;
  EXPECT_NE(approvalInformativeText(Json{{"path", "/w/é日本"}}).find("/w/é日本"),
            std::string::npos);
}

TEST(ElevatedRequest, LaunchesOnlyAfterApprovalOfALiveGrant) {
  TempDir dir;
  GrantStore grants;
  const AgentGrant grant = grants.add({dir.mkdir("work")}, true, true, true);
  const Json request{{"token", grant.token}, {"action", "stat"}, {"path", dir / "work"}};

  std::vector<std::string> launched;
  HelperLauncher launcher = [&](const std::string& value) {
    launched.push_back(value);
    return ProcessResult{0, R"({"ok":true,"type":"directory"})"};
  };
  const auto run = [&](ElevatedApprover& approver, const HelperLauncher& launch) {
    return jsonData(runElevatedRequest(request, grant.token, grant, grants, approver, launch));
  };

  ScriptedApprover approver;
  approver.decision = false;
  EXPECT_EQ(run(approver, launcher), R"({"error":"Elevated action denied","ok":false})");
  EXPECT_EQ(approver.shown, std::vector<std::string>{std::string(kApprovalMessageText) + "|" +
                                                     approvalInformativeText(request)});
  EXPECT_TRUE(launched.empty());

  approver.decision = true;
  EXPECT_EQ(run(approver, launcher), R"({"ok":true,"type":"directory"})");
  EXPECT_EQ(launched, std::vector<std::string>{helperRequest(request, grant)});

  // A launcher that throws becomes a reply, never an exception.
  EXPECT_EQ(run(approver,
                [](const std::string&) -> ProcessResult {
                  throw BrokerFailure("Administrator helper script could not be created");
                }),
            R"({"error":"Administrator helper script could not be created","ok":false})");

  // Revoked while the dialog was open: the stale copy must not be used.
  approver.whileOpen = [&] { grants.revokeAll(); };
  EXPECT_EQ(run(approver, launcher),
            R"({"error":"Missing, revoked or expired access grant","ok":false})");
  EXPECT_EQ(launched.size(), 1u);
}

}  // namespace
}  // namespace tamber
