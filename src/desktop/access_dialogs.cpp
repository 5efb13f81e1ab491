#include "desktop/access_dialogs.h"

#include <exception>

#include "base/failure.h"
#include "base/text.h"
#include "base/time.h"
#include "desktop/invitation.h"

namespace tamber::desktop {

GrantDialogText grantDialogText(bool elevated) {
  const std::string middle =
      elevated ? "Each elevated request also requires an explicit native approval and Linux "
                 "administrator authorization. This cannot override protected Linux paths."
               : "The agent uses this app's ordinary filesystem permissions. Linux privacy "
                 "restrictions still apply.";
  const std::string kind = elevated ? "elevated" : "ordinary";
  return GrantDialogText{
      "Select folders for " + kind + " agent access",
      "Allow " + kind + " agent access",
      "Access is limited to the selected folders and expires after 30 minutes or when this "
      "app quits. View permits listing, metadata and small file reads. Edit additionally "
      "permits creating new files/folders, verified copies and non-overwriting same-volume "
      "moves. Replacing a small text file requires its current SHA-256 and retains the "
      "original as a backup. Other writes and moves cannot overwrite existing files. "
      "Permanent deletion is not exposed.\n\n" +
          middle + "\n\nRevocation stops new requests, not already-running operations.",
  };
}

std::string grantListText(const std::vector<AgentGrant>& grants) {
  if (grants.empty()) {
    return "No active file-access grants. The inventory CLI remains read-only.";
  }
  std::string text;
  for (const AgentGrant& grant : grants) {
    if (!text.empty()) {
      text += "\n\n";
    }
    text += std::string(grant.elevated ? "Elevated" : "Ordinary") + " \u00B7 " +
            (grant.edit ? "Edit" : "View") + " \u00B7 expires " + localTimeText(grant.expires);
    for (const std::string& root : grant.roots) {
      text += "\n" + root;
    }
  }
  return text;
}

void AccessDialogs::perform(BridgeAction action) {
  switch (action) {
    case BridgeAction::Invite:
      showInvitation(std::nullopt);
      return;
    case BridgeAction::GrantOrdinary:
      grant(false);
      return;
    case BridgeAction::GrantElevated:
      grant(true);
      return;
    case BridgeAction::ManageGrants:
      manage();
      return;
  }
}

void AccessDialogs::grant(bool elevated) {
  const GrantDialogText text = grantDialogText(elevated);
  const std::optional<std::vector<std::string>> folders = dialogs_.chooseFolders(text.panelTitle);
  if (!folders) {
    return;
  }
  const DialogHost::GrantAnswer answer = dialogs_.confirmGrant(text.title, text.text);
  if (!answer.granted) {
    return;
  }
  // The rights menu is the same for both kinds: an elevated grant may be view-only.
  std::optional<AgentGrant> created;
  try {
    created = grants_.add(*folders, answer.rightsIndex == 1, elevated, answer.acknowledged);
  } catch (const std::exception& failure) {
    alert("Access not granted", failure.what());
    return;
  }
  showInvitation(created);
}

void AccessDialogs::manage() {
  const std::vector<AgentGrant> active = grants_.all();
  std::vector<std::string> buttons{"Close"};
  if (!active.empty()) {
    buttons.emplace_back("Revoke all");
  }
  if (dialogs_.alert("Agent permissions", grantListText(active), buttons) != 1 || active.empty()) {
    return;
  }
  grants_.revokeAll();
  alert("Revoked", "All agent file grants have been revoked. New requests will be denied.");
}

void AccessDialogs::showInvitation(const std::optional<AgentGrant>& grant) {
  std::string invitation;
  try {
    invitation = invitation_(grant);
    // The dialog can only show UTF-8, and what is copied must be what was shown.
    require(validUtf8(invitation) == invitation && invitation.find('\0') == std::string::npos,
            "Could not generate invitation");
  } catch (const std::exception& failure) {
    alert("Invitation unavailable", failure.what());
    return;
  }
  const char* informative =
      grant ? "This invitation contains a scoped, temporary file-access capability. Share it "
              "only with the agent you selected."
            : "Copy this into any AI harness running on this computer or an authorized shell. "
              "Index access only; file grants are separate.";
  // The clipboard gets the very string the dialog showed.
  if (dialogs_.showInvitation(informative, invitation)) {
    dialogs_.copyToClipboard(invitation);
  }
}

void AccessDialogs::alert(const std::string& title, const std::string& text) {
  dialogs_.alert(title, text, {"OK"});
}

}  // namespace tamber::desktop
