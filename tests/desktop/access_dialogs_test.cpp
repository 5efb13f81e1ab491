#include "desktop/access_dialogs.h"

#include <gtest/gtest.h>

#include <deque>
#include <stdexcept>

#include "base/failure.h"
#include "base/reply.h"
#include "desktop/invitation.h"
#include "support/temp_dir.h"

namespace tamber::desktop {
namespace {

using testing::TempDir;

// Answers each dialog from a script and records what was shown.
class ScriptedDialogs : public DialogHost {
 public:
  std::optional<std::vector<std::string>> folders;  // the picker's answer
  GrantAnswer grantAnswer;
  std::deque<int> alertAnswers;  // index chosen per alert; -1 (dismissed) when none left
  bool copy = false;             // the invitation dialog's answer

  std::vector<std::string> shown;  // one line per dialog: its kind and title
  std::vector<std::vector<std::string>> alertButtons;
  std::vector<std::string> alertTexts;
  std::string invitationShown;
  std::string informativeShown;
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
    shown.push_back("alert " + title);
    alertButtons.push_back(buttons);
    alertTexts.push_back(text);
    if (alertAnswers.empty()) {
      return -1;
    }
    const int answer = alertAnswers.front();
    alertAnswers.pop_front();
    return answer;
  }
  bool showInvitation(const std::string& informativeText, const std::string& invitation) override {
    shown.push_back("invitation");
    informativeShown = informativeText;
    invitationShown = invitation;
    return copy;
  }
  void copyToClipboard(const std::string& text) override { clipboard = text; }
};

struct Flows {
  GrantStore grants;
  ScriptedDialogs dialogs;
  std::vector<std::optional<AgentGrant>> invitationsMade;
  AccessDialogs access{grants, dialogs, [this](const std::optional<AgentGrant>& grant) {
                         invitationsMade.push_back(grant);
                         return invitationText("CLI: larkspan", grant);
                       }};
};

TEST(GrantDialog, DismissingThePickerOrTheDialogCreatesNothing) {
  TempDir temp;
  Flows flows;
  flows.access.grant(false);  // picker cancelled
  EXPECT_EQ(flows.dialogs.shown,
            (std::vector<std::string>{"picker Select folders for ordinary agent access"}));

  flows.dialogs.folders = std::vector<std::string>{temp.mkdir("a")};
  flows.dialogs.grantAnswer = {false, 1, true};  // "Cancel", even with everything set
  flows.access.grant(true);
  EXPECT_EQ(flows.dialogs.shown.back(), "grant Allow elevated agent access");
  EXPECT_TRUE(flows.grants.all().empty());
  EXPECT_TRUE(flows.invitationsMade.empty());
}

TEST(GrantDialog, UnacknowledgedRiskEndsInTheStoresSentence) {
  TempDir temp;
  Flows flows;
  flows.dialogs.folders = std::vector<std::string>{temp.mkdir("a")};
  flows.dialogs.grantAnswer = {true, 0, false};
  flows.access.grant(false);
  EXPECT_EQ(flows.dialogs.shown.back(), "alert Access not granted");
  EXPECT_EQ(flows.dialogs.alertTexts.back(), "Risk acknowledgment is required");
  EXPECT_EQ(flows.dialogs.alertButtons.back(), (std::vector<std::string>{"OK"}));
  EXPECT_TRUE(flows.grants.all().empty());

  // An accepted picker with no folder at all is the store's to refuse, too.
  flows.dialogs.folders = std::vector<std::string>{};
  flows.dialogs.grantAnswer = {true, 0, true};
  flows.access.grant(false);
  EXPECT_EQ(flows.dialogs.alertTexts.back(), "Select one to eight specific folders");
}

TEST(GrantDialog, CreatesTheChosenGrantAndShowsItsInvitation) {
  TempDir temp;
  Flows flows;
  const std::string a = temp.mkdir("a");
  const std::string b = temp.mkdir("b");
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
  EXPECT_EQ(flows.dialogs.informativeShown,
            "This invitation contains a scoped, temporary file-access capability. Share it only "
            "with the agent you selected.");

  flows.dialogs.grantAnswer = {true, 1, true};
  flows.access.grant(false);
  const std::vector<AgentGrant> both = flows.grants.all();
  ASSERT_EQ(both.size(), 2u);
  EXPECT_TRUE(both[0].edit != both[1].edit);
}

TEST(ManageDialog, OffersRevokeAllOnlyWhenThereAreGrants) {
  TempDir temp;
  Flows flows;
  flows.access.manage();
  EXPECT_EQ(flows.dialogs.alertButtons.back(), (std::vector<std::string>{"Close"}));
  EXPECT_EQ(flows.dialogs.alertTexts.back(),
            "No active file-access grants. The inventory CLI remains read-only.");

  flows.grants.add({temp.mkdir("a")}, true, false, true);
  flows.dialogs.alertAnswers = {0};  // "Close" keeps them
  flows.access.manage();
  EXPECT_EQ(flows.dialogs.alertButtons.back(), (std::vector<std::string>{"Close", "Revoke all"}));
  EXPECT_EQ(flows.grants.all().size(), 1u);

  flows.dialogs.alertAnswers = {1, 0};
  flows.access.manage();
  EXPECT_TRUE(flows.grants.all().empty());
  EXPECT_EQ(flows.dialogs.shown.back(), "alert Revoked");
  EXPECT_EQ(flows.dialogs.alertTexts.back(),
            "All agent file grants have been revoked. New requests will be denied.");
}

TEST(ManageDialog, ListsEachGrantWithItsKindRightsExpiryAndFolders) {
  TempDir temp;
  GrantStore grants;
  const AgentGrant two = grants.add({temp.mkdir("a"), temp.mkdir("b")}, false, true, true);
  const AgentGrant one = grants.add({temp.mkdir("c")}, true, false, true, 60);
  EXPECT_EQ(grantListText(grants.all()),
            "Elevated \u00B7 View \u00B7 expires " + localTimeText(two.expires) + "\n" +
                two.roots[0] + "\n" + two.roots[1] + "\n\nOrdinary \u00B7 Edit \u00B7 expires " +
                localTimeText(one.expires) + "\n" + one.roots[0]);
}

TEST(InvitationDialog, CopiesExactlyTheShownTextAndOnlyWhenAsked) {
  Flows flows;
  flows.access.showInvitation(std::nullopt);
  EXPECT_EQ(flows.dialogs.informativeShown,
            "Copy this into any AI harness running on this computer or an authorized shell. "
            "Index access only; file grants are separate.");
  EXPECT_EQ(flows.dialogs.invitationShown,
            "CLI: larkspan\n\nNo file-access grant is attached. Ask me to grant selected "
            "folders in the desktop app if contents or edits are needed.");
  EXPECT_FALSE(flows.dialogs.clipboard);  // "Close"

  flows.dialogs.copy = true;
  flows.access.perform(BridgeAction::Invite);
  EXPECT_EQ(flows.dialogs.clipboard, flows.dialogs.invitationShown);
}

TEST(InvitationDialog, AFailedInvitationIsReportedWithItsReason) {
  GrantStore grants;
  ScriptedDialogs dialogs;
  std::string reason = "Could not generate invitation";
  AccessDialogs access(grants, dialogs, [&](const std::optional<AgentGrant>&) -> std::string {
    throw std::runtime_error(reason);
  });
  access.showInvitation(std::nullopt);
  EXPECT_EQ(dialogs.shown, (std::vector<std::string>{"alert Invitation unavailable"}));
  EXPECT_EQ(dialogs.alertTexts.back(), reason);

  // Text the dialog could not show faithfully is never shown or copied.
  AccessDialogs broken(grants, dialogs,
                       [](const std::optional<AgentGrant>&) { return std::string("CLI: \xff"); });
  dialogs.copy = true;
  broken.showInvitation(std::nullopt);
  EXPECT_EQ(dialogs.alertTexts.back(), "Could not generate invitation");
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
  AgentGrant edit = grant;
  edit.edit = true;
  edit.elevated = true;
  edit.token = "it's";
  EXPECT_NE(invitationText("", edit).find("TAMBER_GRANT='it'\\''s'\nScope: "), std::string::npos);
  EXPECT_NE(invitationText("", edit).find("Rights: Edit: list/stat/read/write_new/mkdir/copy/"
                                          "move/replace; Elevated, each action needs native "
                                          "approval. Expires: "),
            std::string::npos);
}

TEST(Invitation, EngineOutputMustBeAnObjectWithTextualText) {
  EXPECT_EQ(engineInvitationText(R"({"text":"CLI: larkspan","product":"Tamber"})"),
            "CLI: larkspan");
  for (const char* unusable : {R"(["text"])", R"({"text":1})", R"({})", R"("text")"}) {
    try {
      engineInvitationText(unusable);
      ADD_FAILURE() << unusable;
    } catch (const BrokerFailure& failure) {
      EXPECT_EQ(failure.description(), "Could not generate invitation");
    }
  }
  // Output that is not JSON reports the parser's own error.
  EXPECT_THROW(engineInvitationText("larkspan: no such command"), Json::parse_error);
}

}  // namespace
}  // namespace tamber::desktop
