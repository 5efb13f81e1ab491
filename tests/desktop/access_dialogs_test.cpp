#include "desktop/access_dialogs.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "activity/activity_fixture.h"
#include "desktop/invitation.h"
#include "desktop/undo_dialogs.h"
#include "support/temp_dir.h"

namespace tamber::desktop {
namespace {

using testing::TempDir;

// Answers each dialog from a script and records what was shown.
class ScriptedDialogs : public DialogHost {
 public:
  std::optional<std::vector<std::string>> folders;  // the picker's answer
  GrantAnswer grantAnswer;
  int alertAnswer = -1;  // the button chosen in every alert; -1: dismissed
  bool copy = false;     // the invitation dialog's answer

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
    return alertAnswer;
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
  std::function<std::string()> engineText = [] { return "CLI: larkspan"; };
  AccessDialogs access{grants, dialogs, [this](const std::optional<AgentGrant>& grant) {
                         invitationsMade.push_back(grant);
                         return invitationText(engineText(), grant);
                       }};
};

TEST(GrantDialog, DismissedOrRefusedCreatesNothing) {
  Flows flows;
  flows.access.perform(BridgeAction::GrantOrdinary);  // picker cancelled
  EXPECT_EQ(flows.dialogs.shown,
            (std::vector<std::string>{"picker Select folders for ordinary agent access"}));

  flows.dialogs.folders = std::vector<std::string>{flows.temp.mkdir("a")};
  flows.dialogs.grantAnswer = {false, 1, true};  // "Cancel", even with everything set
  flows.access.perform(BridgeAction::GrantElevated);
  EXPECT_EQ(flows.dialogs.shown.back(), "grant Allow elevated agent access");

  flows.dialogs.grantAnswer = {true, 0, false};  // the store refuses: its sentence is shown
  flows.access.grant(false);
  EXPECT_EQ(flows.dialogs.shown.back(),
            "alert Access not granted: Risk acknowledgment is required [OK]");
  EXPECT_TRUE(flows.grants.all().empty());
  EXPECT_TRUE(flows.invitationsMade.empty());
}

TEST(GrantDialog, CreatesTheChosenGrantAndCopiesExactlyTheShownInvitationWhenAsked) {
  Flows flows;
  const std::string a = flows.temp.mkdir("a");
  const std::string b = flows.temp.mkdir("b");
  flows.dialogs.folders = std::vector<std::string>{a, b};
  flows.dialogs.grantAnswer = {true, 0, true};  // elevated, but view only
  flows.access.grant(true);
  const AgentGrant grant = flows.grants.all().at(0);
  EXPECT_TRUE(grant.elevated);
  EXPECT_FALSE(grant.edit);
  EXPECT_EQ(grant.roots, (std::vector<std::string>{a, b}));
  EXPECT_EQ(flows.invitationsMade.back()->token, grant.token);
  EXPECT_NE(flows.dialogs.invitationShown.find(grant.token), std::string::npos);
  EXPECT_FALSE(flows.dialogs.clipboard);  // "Close"

  flows.dialogs.grantAnswer = {true, 1, true};
  flows.dialogs.copy = true;
  flows.access.grant(false);
  const std::vector<AgentGrant> both = flows.grants.all();
  ASSERT_EQ(both.size(), 2u);
  EXPECT_TRUE(both[0].edit != both[1].edit);
  EXPECT_EQ(flows.dialogs.clipboard, flows.dialogs.invitationShown);

  // The page's invitation carries no grant.
  flows.access.perform(BridgeAction::Invite);
  EXPECT_FALSE(flows.invitationsMade.back());
  EXPECT_TRUE(flows.dialogs.invitationShown.starts_with("CLI: larkspan\n\n"));
}

TEST(ManageDialog, OffersRevokeAllOnlyWhenThereAreGrants) {
  Flows flows;
  flows.access.perform(BridgeAction::ManageGrants);
  EXPECT_TRUE(flows.dialogs.shown.back().ends_with(" [Close]"));

  const std::string folder = flows.temp.mkdir("a");
  flows.grants.add({folder}, true, false, true);
  flows.dialogs.alertAnswer = 0;  // "Close" keeps them
  flows.access.manage();
  EXPECT_TRUE(flows.dialogs.shown.back().ends_with("\n" + folder + " [Close|Revoke all]"));
  EXPECT_EQ(flows.grants.all().size(), 1u);

  flows.dialogs.alertAnswer = 1;
  flows.access.manage();
  EXPECT_TRUE(flows.grants.all().empty());
  EXPECT_TRUE(flows.dialogs.shown.back().starts_with("alert Revoked: "));
}

TEST(InvitationDialog, AFailedInvitationIsReportedWithItsReason) {
  Flows flows;
  flows.dialogs.copy = true;
  flows.engineText = []() -> std::string { throw std::runtime_error("No such file or directory"); };
  flows.access.showInvitation(std::nullopt);
  EXPECT_EQ(
      flows.dialogs.shown,
      (std::vector<std::string>{"alert Invitation unavailable: No such file or directory [OK]"}));

  // Text the dialog could not show faithfully is never shown or copied.
  for (const std::string& hidden : {std::string("CLI: \xff"), std::string("CLI: a\0b", 8)}) {
    flows.engineText = [&] { return hidden; };
    flows.access.showInvitation(std::nullopt);
    EXPECT_EQ(flows.dialogs.shown.back(),
              "alert Invitation unavailable: Could not generate invitation [OK]");
  }
  EXPECT_EQ(flows.dialogs.shown.size(), 3u);
  EXPECT_FALSE(flows.dialogs.clipboard);
}

TEST(UndoDialog, AsksFirstNamesTheFileAndExplainsEveryRefusal) {
  testing::ActivitySession session;
  session.dir.write("work/notes.txt", "before");
  const Json read = session.ask("read", session / "notes.txt");
  session.ask("replace", session / "notes.txt",
              {{"text", "after"}, {"expected_sha256", read["sha256"]}});
  const std::int64_t id = session.last("replace");
  session.server->flushJournal();
  ScriptedDialogs dialogs;
  UndoDialogs undo(session.data, dialogs, session.trash);

  dialogs.alertAnswer = 1;  // "Cancel"
  EXPECT_FALSE(undo.undo(id));
  EXPECT_EQ(testing::readFile(session / "notes.txt"), "after");
  dialogs.alertAnswer = 0;  // "Undo"
  EXPECT_TRUE(undo.undo(id));
  EXPECT_EQ(testing::readFile(session / "notes.txt"), "before");
  const std::string question =
      "alert Undo the agent's change?: notes.txt gets back the content it had before the agent's "
      "edit. The agent's version stays beside it as ";
  ASSERT_EQ(dialogs.shown.size(), 2u);
  EXPECT_TRUE(dialogs.shown[0].starts_with(question)) << dialogs.shown[0];
  EXPECT_TRUE(dialogs.shown[0].ends_with(", so nothing is lost. [Undo|Cancel]"));
  EXPECT_EQ(dialogs.shown[1], dialogs.shown[0]);

  // A refusal is said at once, with nothing asked.
  EXPECT_FALSE(undo.undo(id));
  EXPECT_TRUE(dialogs.shown.back().starts_with("alert Nothing was undone: Change " +
                                               std::to_string(id) + " was already undone on "));
  EXPECT_TRUE(dialogs.shown.back().ends_with(" by the user, in the Tamber window [OK]"));
  EXPECT_FALSE(undo.undo(999));
  EXPECT_EQ(dialogs.shown.back(),
            "alert Nothing was undone: There is no change 999 in the activity journal [OK]");
}

TEST(Invitation, CarriesTheGrantsCapabilityAfterTheEngineText) {
  TempDir temp;
  GrantStore grants;
  AgentGrant grant = grants.add({temp.mkdir("a"), temp.mkdir("b")}, false, false, true);
  EXPECT_TRUE(invitationText("Engine says hi.", grant)
                  .starts_with("Engine says hi.\n\nPRIVATE CAPABILITY, do not publish or log:\n"
                               "export TAMBER_GRANT='" +
                               grant.token + "'\nScope: " + grant.roots[0] + ", " + grant.roots[1] +
                               "\nRights: View: list/stat/read; Ordinary."));
  // The export line stays one shell word whatever the token holds.
  grant.token = "it's";
  EXPECT_NE(invitationText("", grant).find("TAMBER_GRANT='it'\\''s'\nScope: "), std::string::npos);
}

}  // namespace
}  // namespace tamber::desktop
