#include <atomic>
#include <vector>

#include <gtest/gtest.h>

#include "agent/elevated.h"
#include "base/base64.h"
#include "base/failure.h"
#include "base/text.h"
#include "support/temp_dir.h"

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

// The reply of a decoder run, or the failure it threw, as one comparable text.
std::string decoded(const std::optional<std::string>& reply,
                    const std::optional<LaunchError>& error) {
  try {
    return jsonData(decodePrivilegedReply(reply, error));
  } catch (const BrokerFailure& failure) {
    return "failure: " + failure.description();
  }
}

std::string decodedRun(int status, const std::string& output) {
  const LaunchOutcome outcome = launchOutcomeOf(ProcessResult{status, output});
  return decoded(outcome.reply, outcome.error);
}

TEST(HelperReply, DistinguishesCancellationDenialLaunchFailureAndGarbage) {
  const std::string denial = R"({"error":"Folder identities required","ok":false})";
  // The helper's own refusal survives its nonzero exit, byte for byte after serialisation.
  EXPECT_EQ(decoded(std::nullopt, LaunchError{1, denial}), denial);
  EXPECT_EQ(decoded(std::nullopt, LaunchError{-128, std::nullopt}), "failure: " + kCancelled);
  // Cancellation wins even when some text came with it.
  EXPECT_EQ(decoded(std::nullopt, LaunchError{-128, denial}), "failure: " + kCancelled);
  EXPECT_EQ(decoded(std::nullopt, LaunchError{127, std::nullopt}),
            "failure: " + launchFailure(127));
  EXPECT_EQ(decoded(std::nullopt, LaunchError{std::nullopt, "oops"}),
            "failure: " + launchFailure(0));
  // A success claim next to a failed run is not believed.
  EXPECT_EQ(decoded(std::nullopt, LaunchError{1, R"({"ok":true,"size":1})"}),
            "failure: " + launchFailure(1));
  EXPECT_EQ(decoded(std::nullopt, LaunchError{1, R"({"ok":"false"})"}),
            "failure: " + launchFailure(1));

  EXPECT_EQ(decoded(R"({"ok":true,"size":3})"
                    "\n",
                    std::nullopt),
            R"({"ok":true,"size":3})");
  EXPECT_EQ(decoded(R"({"error":"x","ok":false})", std::nullopt), R"({"error":"x","ok":false})");
  for (const char* garbage : {"not JSON", R"({"other":true})", "[true]", "true", "", "{\"ok\":1}",
                              "{\"ok\":true}{\"ok\":true}"}) {
    EXPECT_EQ(decoded(garbage, std::nullopt), "failure: " + kInvalid) << garbage;
  }
  EXPECT_EQ(decoded(std::nullopt, std::nullopt), "failure: " + kInvalid);
}

TEST(HelperReply, LauncherStatusesMapToTheDecoder) {
  EXPECT_EQ(decodedRun(0, "{\"ok\":true}\n"), R"({"ok":true})");
  // pkexec's "dismissed or not authorised" is a cancellation, never a launch failure.
  EXPECT_EQ(decodedRun(126, ""), "failure: " + kCancelled);
  EXPECT_EQ(decodedRun(1, "{\"error\":\"Grant expired\",\"ok\":false}\n"),
            R"({"error":"Grant expired","ok":false})");
  EXPECT_EQ(decodedRun(124, ""), "failure: " + launchFailure(124));  // helper time limit
  EXPECT_EQ(decodedRun(127, ""), "failure: " + launchFailure(127));  // launcher missing
  EXPECT_EQ(decodedRun(128 + 9, "{\"ok\":true}"), "failure: " + launchFailure(137));
}

TEST(ShellQuote, QuotesOnlySingleQuotesAndSurvivesARealShell) {
  EXPECT_EQ(shellQuote("a'b"), R"('a'\''b')");
  EXPECT_EQ(shellQuote(R"(/Apps/O'Neil "x"\y)"), R"('/Apps/O'\''Neil "x"\y')");
  EXPECT_EQ(shellQuote(""), "''");

  for (const std::string& text :
       {std::string(R"(/Apps/O'Neil "x"\y)"), std::string("$(id) `id` ; | & * \n ''"),
        std::string(R"({"error":"it's","ok":false})")}) {
    const ProcessResult run = runUnprivilegedShell("/usr/bin/printf '%s' " + shellQuote(text));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, text);
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

  const Json request{{"token", "SECRET-TOKEN"}, {"action", "move"},
                     {"path", "/srv/work/a/x"}, {"destination", "/srv/work/b/x"},
                     {"roots", {"/"}},          {"edit", false},
                     {"expires", 9e18},         {"identities", 7}};
  const Json payload = helperPayload(request, grant);
  EXPECT_FALSE(payload.contains("token"));
  EXPECT_EQ(payload["roots"], Json::array({"/srv/work/a", "/srv/work/b"}));
  EXPECT_EQ(payload["edit"], true);
  EXPECT_DOUBLE_EQ(payload["expires"].get<double>(), 1'800'000'000.5);
  EXPECT_EQ(payload["identities"],
            (Json{{"/srv/work/a", {66306, 12}}, {"/srv/work/b", {18446744073709551615u, 13}}}));
  EXPECT_EQ(payload["action"], "move");
  EXPECT_EQ(payload["destination"], "/srv/work/b/x");

  const std::string value = helperRequest(request, grant);
  EXPECT_EQ(value.find_first_of("\n\r "), std::string::npos);
  EXPECT_EQ(strictBase64Decode(value), jsonData(payload));
  EXPECT_EQ(value.find("SECRET"), std::string::npos);
  EXPECT_EQ(strictBase64Decode(value)->find("SECRET"), std::string::npos);
}

TEST(Base64, DecodesOnlyTheOneCanonicalSpelling) {
  for (const std::string& bytes :
       {std::string(""), std::string("f"), std::string("fo"), std::string("foo"),
        std::string("foob"), std::string("\0\xff\xfe\x80 ~", 6)}) {
    EXPECT_EQ(strictBase64Decode(base64Encode(bytes)), bytes);
  }
  EXPECT_EQ(base64Encode("foob"), "Zm9vYg==");
  EXPECT_EQ(base64Encode("\xfb\xff"), "+/8=");
  for (const char* sloppy :
       {"Zm9vYg=", "Zm9vYg", "Zm9v\nYg==", "Zm9v Yg==", "Zm9vYh==", "Zm9vYmE=x",
        "Zm=vYg==", "====", "Zg=a", "Zm9-", "Zm9_", "Zm9vYg===", "=Zm9"}) {
    EXPECT_FALSE(strictBase64Decode(sloppy).has_value()) << sloppy;
  }
}

TEST(ApprovalText, NamesTheRequestAndKeepsHiddenCharactersVisible) {
  EXPECT_EQ(
      approvalInformativeText(Json{{"action", "move"}, {"path", "/w/a"}, {"destination", "/w/b"}}),
      "Action: move\nSource: /w/a\nDestination: /w/b\n\nThis uses administrator access "
      "but cannot bypass Linux privacy protection. You are responsible for approving "
      "this action.");
  EXPECT_TRUE(approvalInformativeText(Json{{"action", "read"}, {"path", "/w/a"}})
                  .starts_with("Action: read\nSource: /w/a\nDestination: \u2014\n\n"));
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

  ScriptedApprover deny([] { return false; });
  EXPECT_EQ(jsonData(runElevatedRequest(request, grant.token, grant, grants, deny, launcher)),
            R"({"error":"Elevated action denied","ok":false})");
  ASSERT_EQ(deny.shown.size(), 1u);
  EXPECT_TRUE(deny.shown[0].starts_with("Allow elevated agent action?|Action: stat\nSource: "));
  EXPECT_TRUE(launched.empty());

  ScriptedApprover allow([] { return true; });
  EXPECT_EQ(jsonData(runElevatedRequest(request, grant.token, grant, grants, allow, launcher)),
            R"({"ok":true,"type":"directory"})");
  ASSERT_EQ(launched.size(), 1u);
  EXPECT_EQ(launched[0], helperRequest(request, grant));

  // Revoked while the dialog was open: the stale copy must not be used.
  ScriptedApprover revokeThenAllow([&] {
    grants.revokeAll();
    return true;
  });
  EXPECT_EQ(
      jsonData(runElevatedRequest(request, grant.token, grant, grants, revokeThenAllow, launcher)),
      R"({"error":"Missing, revoked or expired access grant","ok":false})");
  EXPECT_EQ(launched.size(), 1u);

  // Launcher outcomes become replies, never exceptions.
  const AgentGrant live = grants.add({dir / "work"}, true, true, true);
  const auto withLauncher = [&](ProcessResult result) {
    return jsonData(runElevatedRequest(request, live.token, live, grants, allow,
                                       [&](const std::string&) { return result; }));
  };
  EXPECT_EQ(withLauncher({126, ""}), jsonData(failureReply(kCancelled)));
  EXPECT_EQ(withLauncher({1, R"({"error":"Folder identities required","ok":false})"}),
            R"({"error":"Folder identities required","ok":false})");
  EXPECT_EQ(withLauncher({0, "garbage"}), jsonData(failureReply(kInvalid)));
  EXPECT_EQ(jsonData(runElevatedRequest(request, live.token, live, grants, allow,
                                        [](const std::string&) -> ProcessResult {
                                          throw BrokerFailure(
                                              "Administrator helper script could not be created");
                                        })),
            R"({"error":"Administrator helper script could not be created","ok":false})");
}

}  // namespace
}  // namespace tamber
