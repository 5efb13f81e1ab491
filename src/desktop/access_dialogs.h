#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "access/grant.h"
#include "desktop/web_bridge.h"

namespace tamber::desktop {

// The texts of the dialog that creates a grant, for one kind of grant.
struct GrantDialogText {
  std::string panelTitle;  // the folder picker's title
  std::string title;
  std::string text;
};
GrantDialogText grantDialogText(bool elevated);

inline constexpr const char* kChooseScopeButton = "Choose scope";
inline constexpr const char* kViewOnlyRights = "View only";
inline constexpr const char* kEditRights = "Edit: create, backed-up replace, copy and move";
inline constexpr const char* kRiskText =
    "AI agents can disclose private data or cause unwanted changes or loss. Review the agent "
    "and every selected folder. Keep verified backups. You are responsible for your "
    "permission choices and authorized actions. This warning is not a guarantee of recovery "
    "or a replacement for Linux consent.";
inline constexpr const char* kAcknowledgementTitle =
    "I accept responsibility for the scopes and actions I authorize.";

// The text of the "Agent permissions" dialog for `grants` (as GrantStore::all lists them).
std::string grantListText(const std::vector<AgentGrant>& grants);

// The native dialogs, as the access flows see them. Each call runs one modal dialog on the
// UI thread and returns when it is closed. Buttons are given in order: the first is the
// default one.
class DialogHost {
 public:
  virtual ~DialogHost() = default;

  // The folder picker: folders only, several at once, accept button "Choose scope". Returns
  // the chosen folders' paths in the picker's order, or nullopt when it was not accepted.
  virtual std::optional<std::vector<std::string>> chooseFolders(const std::string& title) = 0;

  // What the person set in the grant dialog before closing it.
  struct GrantAnswer {
    bool granted = false;  // "Grant access" was chosen
    int rightsIndex = 0;   // 0: kViewOnlyRights, 1: kEditRights
    bool acknowledged = false;
  };
  // The grant dialog: `title` and `text`, then the rights menu (kViewOnlyRights selected),
  // kRiskText and the acknowledgement checkbox (off); buttons "Grant access", "Cancel".
  virtual GrantAnswer confirmGrant(const std::string& title, const std::string& text) = 0;

  // A message box with `buttons`; returns the index of the button chosen, or -1 when it was
  // closed another way.
  virtual int alert(const std::string& title, const std::string& text,
                    const std::vector<std::string>& buttons) = 0;

  // The invitation dialog, titled "Invite an agent": `informativeText`, then `invitation`
  // in a read-only, selectable monospaced text view; buttons "Copy invitation", "Close".
  // Returns true when "Copy invitation" was chosen.
  virtual bool showInvitation(const std::string& informativeText,
                              const std::string& invitation) = 0;

  // Replaces the clipboard's contents with `text` as plain text.
  virtual void copyToClipboard(const std::string& text) = 0;
};

// The flows behind the page's four buttons: creating a grant, listing and revoking grants,
// and showing an invitation. Runs on the UI thread; every outcome is shown to the person,
// nothing is thrown.
class AccessDialogs {
 public:
  // Returns the invitation for a grant (or none); throws a std::exception whose what() is
  // the reason it cannot be made.
  using InvitationMaker = std::function<std::string(const std::optional<AgentGrant>&)>;

  // All three must outlive this object.
  AccessDialogs(GrantStore& grants, DialogHost& dialogs, InvitationMaker invitation)
      : grants_(grants), dialogs_(dialogs), invitation_(std::move(invitation)) {}

  // Runs the flow the page asked for.
  void perform(BridgeAction action);

  // Folder picker, grant dialog, then GrantStore::add; on success the new grant's
  // invitation, on failure "Access not granted" with the store's sentence.
  void grant(bool elevated);

  // Lists the active grants and offers "Revoke all" when there are any.
  void manage();

  // The invitation with `grant`'s capability, or the index-only one without a grant; on
  // failure "Invitation unavailable" with the reason.
  void showInvitation(const std::optional<AgentGrant>& grant);

  // A message box with the single button "OK".
  void alert(const std::string& title, const std::string& text);

 private:
  GrantStore& grants_;
  DialogHost& dialogs_;
  InvitationMaker invitation_;
};

}  // namespace tamber::desktop
