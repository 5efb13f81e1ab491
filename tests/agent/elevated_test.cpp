#include <vector>

#include <gtest/gtest.h>

#include "agent/elevated.h"
#include "base/base64.h"
#include "base/failure.h"
#include "base/text.h"
#include "support/temp_dir.h"
#include "support/waiting.h"

namespace tamber {
namespace {

using testing::TempDir;

const std::string kCancelled =
    "Administrator authorization was cancelled. No privileged file action was performed.";
const std::string kInvalid =
    "Privileged helper returned an invalid response. No successful file action is confirmed.";

std::string launchFailure(int number) {
  return "Administrator authorization or helper launch failed (Linux error " +
         std::to_string(number) +
         "). This is not proof of cancellation or an expired grant. Check the app and Linux "
         "privacy permissions.";
}

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
      {0, R"({"error":"x","ok":false})", R"({"error":"x","ok":false})"},
      // The helper's own refusal survives its nonzero exit, byte for byte after serialisation.
      {1, denial, denial},
      // pkexec's "dismissed or not authorised" is a cancellation, even with text beside it.
      {126, "", "failure: " + kCancelled},
      {126, denial, "failure: " + kCancelled},
      // A success claim next to a failed run is not believed.
      {1, R"({"ok":true,"size":1})", "failure: " + launchFailure(1)},
      {1, R"({"ok":"false"})", "failure: " + launchFailure(1)},
      {124, "", "failure: " + launchFailure(124)},  // the helper's time limit
      {127, "", "failure: " + launchFailure(127)},  // the launcher is missing
      {128 + 9, "{\"ok\":true}", "failure: " + launchFailure(137)},
  };
  for (const char* garbage : {"not JSON", R"({"other":true})", "[true]", "true", "", "{\"ok\":1}",
                              "{\"ok\":true}{\"ok\":true}"}) {
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
  AgentGrant grant;
  grant.token = "SECRET-TOKEN";
  grant.roots = {"/srv/work/a", "/srv/work/b"};
  grant.edit = true;
  grant.elevated = true;
  grant.expires = WallClock::time_point(std::chrono::milliseconds(1'800'000'000'500));
  grant.identities = {{"/srv/work/a", {66306, 12}}, {"/srv/work/b", {18446744073709551615u, 13}}};

  // The agent's own values for the grant's fields are overwritten.
  const Json request{{"token", "SECRET-TOKEN"}, {"action", "move"},
                     {"path", "/srv/work/a/x"}, {"destination", "/srv/work/b/x"},
                     {"roots", {"/"}},          {"edit", false},
                     {"expires", 9e18},         {"identities", 7}};
  const std::string value = helperRequest(request, grant);
  EXPECT_EQ(value.find_first_of("\n\r "), std::string::npos);
  const Json payload = Json::parse(*strictBase64Decode(value));
  EXPECT_EQ(payload,
            (Json{{"action", "move"},
                  {"path", "/srv/work/a/x"},
                  {"destination", "/srv/work/b/x"},
                  {"roots", {"/srv/work/a", "/srv/work/b"}},
                  {"edit", true},
                  {"expires", 1'800'000'000.5},
                  {"identities",
                   {{"/srv/work/a", {66306, 12}}, {"/srv/work/b", {18446744073709551615u, 13}}}}}));
  EXPECT_EQ(strictBase64Decode(value)->find("SECRET"), std::string::npos);
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

// Answers every approval with a fixed decision and records what it was shown.
class ScriptedApprover : public ElevatedApprover {
 public:
  explicit ScriptedApprover(std::function<bool()> decide) : decide_(std::move(decide)) {}
  void runOnMainThread(const std::function<void()>& work) override { work(); }
  bool approve(const std::string& messageText, const std::string& informativeText) override {
    shown.push_back(messageText + "|" + informativeText);
    return decide_();
  }
  std::vector<std::string> shown;

 private:
  std::function<bool()> decide_;
};

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

  ScriptedApprover deny([] { return false; });
  EXPECT_EQ(run(deny, launcher), R"({"error":"Elevated action denied","ok":false})");
  ASSERT_EQ(deny.shown.size(), 1u);
  EXPECT_TRUE(deny.shown[0].starts_with("Allow elevated agent action?|Action: stat\nSource: "));
  EXPECT_TRUE(launched.empty());

  ScriptedApprover allow([] { return true; });
  EXPECT_EQ(run(allow, launcher), R"({"ok":true,"type":"directory"})");
  ASSERT_EQ(launched.size(), 1u);
  EXPECT_EQ(launched[0], helperRequest(request, grant));

  // A launcher that throws becomes a reply, never an exception.
  EXPECT_EQ(run(allow,
                [](const std::string&) -> ProcessResult {
                  throw BrokerFailure("Administrator helper script could not be created");
                }),
            R"({"error":"Administrator helper script could not be created","ok":false})");

  // Revoked while the dialog was open: the stale copy must not be used.
  ScriptedApprover revokeThenAllow([&] {
    grants.revokeAll();
    return true;
  });
  EXPECT_EQ(run(revokeThenAllow, launcher),
            R"({"error":"Missing, revoked or expired access grant","ok":false})");
  EXPECT_EQ(launched.size(), 1u);
}

}  // namespace
}  // namespace tamber
