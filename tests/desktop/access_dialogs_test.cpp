#include "desktop/access_dialogs.h"

#include <gtest/gtest.h>

#include <deque>
#include <stdexcept>

#include "base/failure.h"
#include "base/reply.h"
#include "desktop/invitation.h"
#include "support/temp_dir.h"
#include "support/waiting.h"

namespace tamber::desktop {
namespace {

using testing::failureOf;
using testing::TempDir;

// Answers each dialog from a script and records what was shown.
class ScriptedDialogs : public DialogHost {
 public:
  std::optional<std::vector<std::string>> folders;  // the picker's answer
  GrantAnswer grantAnswer;
  std::deque<int> alertAnswers;  // index chosen per alert; -1 (dismissed) when none left
  bool copy = false;             // the invitation dialog's answer

  // One line per dialog: its kind and title; for an alert, its text and buttons as well.
  std::vector<std::string> shown;
  std::string invitationShown;
  std::optional<std::string> clipboard;

  std::optional<std::vector<std::string>> chooseFolders(const std::string& title) override {
    shown.push_back("picker " + title);
    return folders;
  }
  GrantAnswer confirmGrant(const std::string& title, const std::string&) override {
    shown.push_back("grant " + title);
    return grantAnswer;
  }
  int alert(const std::string& title, const std::string& text,
            const std::vector<std::string>& buttons) override {
    std::string line = "alert " + title + ": " + text + " [";
    for (const std::string& button : buttons) {
      line += (button == buttons.front() ? "" : "|") + button;
    }
    shown.push_back(line + "]");
    if (alertAnswers.empty()) {
      return -1;
    }
    const int answer = alertAnswers.front();
    alertAnswers.pop_front();
    return answer;
  }
  bool showInvitation(const std::string&, const std::string& invitation) override {
    shown.push_back("invitation");
    invitationShown = invitation;
    return copy;
  }
  void copyToClipboard(const std::string& text) override { clipboard = text; }
};

struct Flows {
  TempDir temp;
  GrantStore grants;
  ScriptedDialogs dialogs;
  std::vector<std::optional<AgentGrant>> invitationsMade;
  AccessDialogs access{grants, dialogs, [this](const std::optional<AgentGrant>& grant) {
                         invitationsMade.push_back(grant);
                         return invitationText("CLI: larkspan", grant);
                       }};
};

TEST(GrantDialog, DismissingThePickerOrTheDialogCreatesNothing) {
  Flows flows;
  flows.access.perform(BridgeAction::GrantOrdinary);  // picker cancelled
  EXPECT_EQ(flows.dialogs.shown,
            (std::vector<std::string>{"picker Select folders for ordinary agent access"}));

  flows.dialogs.folders = std::vector<std::string>{flows.temp.mkdir("a")};
  flows.dialogs.grantAnswer = {false, 1, true};  // "Cancel", even with everything set
  flows.access.perform(BridgeAction::GrantElevated);
  EXPECT_EQ(flows.dialogs.shown.back(), "grant Allow elevated agent access");
  EXPECT_TRUE(flows.grants.all().empty());
  EXPECT_TRUE(flows.invitationsMade.empty());
}

TEST(GrantDialog, UnacknowledgedRiskEndsInTheStoresSentence) {
  Flows flows;
  flows.dialogs.folders = std::vector<std::string>{flows.temp.mkdir("a")};
  flows.dialogs.grantAnswer = {true, 0, false};
  flows.access.grant(false);
  EXPECT_EQ(flows.dialogs.shown.back(),
            "alert Access not granted: Risk acknowledgment is required [OK]");

  // An accepted picker with no folder at all is the store's to refuse, too.
  flows.dialogs.folders = std::vector<std::string>{};
  flows.dialogs.grantAnswer = {true, 0, true};
  flows.access.grant(false);
  EXPECT_EQ(flows.dialogs.shown.back(),
            "alert Access not granted: Select one to eight specific folders [OK]");
  EXPECT_TRUE(flows.grants.all().empty());
  EXPECT_TRUE(flows.invitationsMade.empty());
}

TEST(GrantDialog, CreatesTheChosenGrantAndShowsItsInvitation) {
  Flows flows;
  const std::string a = flows.temp.mkdir("a");
  const std::string b = flows.temp.mkdir("b");
  flows.dialogs.folders = std::vector<std::string>{a, b};
  flows.dialogs.grantAnswer = {true, 0, true};  // elevated, but view only
  flows.access.grant(true);

  const std::vector<AgentGrant> grants = flows.grants.all();
  ASSERT_EQ(grants.size(), 1u);
  EXPECT_TRUE(grants[0].elevated);
  EXPECT_FALSE(grants[0].edit);
  EXPECT_EQ(grants[0].roots, (std::vector<std::string>{a, b}));
  ASSERT_EQ(flows.invitationsMade.size(), 1u);
  EXPECT_EQ(flows.invitationsMade[0]->token, grants[0].token);
  EXPECT_NE(flows.dialogs.invitationShown.find(grants[0].token), std::string::npos);

  flows.dialogs.grantAnswer = {true, 1, true};
  flows.access.grant(false);
  const std::vector<AgentGrant> both = flows.grants.all();
  ASSERT_EQ(both.size(), 2u);
  EXPECT_TRUE(both[0].edit != both[1].edit);
}

TEST(ManageDialog, OffersRevokeAllOnlyWhenThereAreGrants) {
  Flows flows;
  flows.access.perform(BridgeAction::ManageGrants);
  EXPECT_TRUE(flows.dialogs.shown.back().ends_with(" [Close]"));

  const std::string folder = flows.temp.mkdir("a");
  flows.grants.add({folder}, true, false, true);
  flows.dialogs.alertAnswers = {0};  // "Close" keeps them
  flows.access.manage();
  EXPECT_TRUE(flows.dialogs.shown.back().ends_with("\n" + folder + " [Close|Revoke all]"));
  EXPECT_EQ(flows.grants.all().size(), 1u);

  flows.dialogs.alertAnswers = {1, 0};
  flows.access.manage();
  EXPECT_TRUE(flows.grants.all().empty());
  EXPECT_TRUE(flows.dialogs.shown.back().starts_with("alert Revoked: "));
}

TEST(InvitationDialog, CopiesExactlyTheShownTextAndOnlyWhenAsked) {
  Flows flows;
  flows.access.showInvitation(std::nullopt);
  ASSERT_EQ(flows.invitationsMade.size(), 1u);
  EXPECT_FALSE(flows.invitationsMade[0]);  // the index-only invitation
  EXPECT_TRUE(flows.dialogs.invitationShown.starts_with("CLI: larkspan\n\n"));
  EXPECT_FALSE(flows.dialogs.clipboard);  // "Close"

  flows.dialogs.copy = true;
  flows.access.perform(BridgeAction::Invite);
  EXPECT_EQ(flows.dialogs.clipboard, flows.dialogs.invitationShown);
}

TEST(InvitationDialog, AFailedInvitationIsReportedWithItsReason) {
  GrantStore grants;
  ScriptedDialogs dialogs;
  dialogs.copy = true;
  AccessDialogs failing(grants, dialogs, [](const std::optional<AgentGrant>&) -> std::string {
    throw std::runtime_error("No such file or directory");
  });
  failing.showInvitation(std::nullopt);
  EXPECT_EQ(
      dialogs.shown,
      (std::vector<std::string>{"alert Invitation unavailable: No such file or directory [OK]"}));

  // Text the dialog could not show faithfully is never shown or copied.
  for (const std::string& hidden : {std::string("CLI: \xff"), std::string("CLI: a\0b", 8)}) {
    AccessDialogs broken(grants, dialogs, [&](const std::optional<AgentGrant>&) { return hidden; });
    broken.showInvitation(std::nullopt);
    EXPECT_EQ(dialogs.shown.back(),
              "alert Invitation unavailable: Could not generate invitation [OK]");
  }
  EXPECT_EQ(dialogs.shown.size(), 3u);
  EXPECT_FALSE(dialogs.clipboard);
}

TEST(Invitation, CarriesTheGrantsCapabilityAfterTheEngineText) {
  TempDir temp;
  GrantStore grants;
  const AgentGrant grant = grants.add({temp.mkdir("a"), temp.mkdir("b")}, false, false, true);
  EXPECT_EQ(
      invitationText("Engine says hi.", grant),
      "Engine says hi.\n\nPRIVATE CAPABILITY, do not publish or log:\nexport TAMBER_GRANT='" +
          grant.token + "'\nScope: " + grant.roots[0] + ", " + grant.roots[1] +
          "\nRights: View: list/stat/read; Ordinary. Expires: " + localTimeText(grant.expires) +
          ". The desktop app must remain open. Never use this token outside the selected "
          "scopes.");
  // The export line stays one shell word whatever the token holds.
  AgentGrant quoted = grant;
  quoted.token = "it's";
  EXPECT_NE(invitationText("", quoted).find("TAMBER_GRANT='it'\\''s'\nScope: "), std::string::npos);
}

TEST(Invitation, EngineOutputMustBeAnObjectWithTextualText) {
  EXPECT_EQ(engineInvitationText(R"({"text":"CLI: larkspan","product":"Tamber"})"),
            "CLI: larkspan");
  for (const char* unusable : {R"(["text"])", R"({"text":1})", R"({})", R"("text")"}) {
    EXPECT_EQ(failureOf([&] { engineInvitationText(unusable); }), "Could not generate invitation")
        << unusable;
  }
  // Output that is not JSON reports the parser's own error.
  EXPECT_THROW(engineInvitationText("larkspan: no such command"), Json::parse_error);
}

}  // namespace
}  // namespace tamber::desktop
