#pragma once

#include <gtk/gtk.h>

#include <optional>
#include <string>
#include <vector>

#include "desktop/access_dialogs.h"

namespace tamber::desktop {

// The native dialogs on GTK. Every dialog is modal over the main window (when there is one)
// and runs to completion with gtk_dialog_run before the call returns. The first button of
// each dialog is its default and sits on the right, where GTK puts the affirmative choice.
//
// Threads: the UI thread only.
class GtkDialogHost : public DialogHost {
 public:
  GtkDialogHost() = default;
  GtkDialogHost(const GtkDialogHost&) = delete;
  GtkDialogHost& operator=(const GtkDialogHost&) = delete;

  // The window the dialogs belong to; null before it exists.
  void setParent(GtkWindow* parent) { parent_ = parent; }

  // Closes every open dialog as if dismissed, and from now on answers every request for a
  // dialog at once as dismissed, without showing it: the application is quitting.
  void closeAll();

  std::optional<std::vector<std::string>> chooseFolders(const std::string& title) override;
  GrantAnswer confirmGrant(const std::string& title, const std::string& text) override;
  int alert(const std::string& title, const std::string& text,
            const std::vector<std::string>& buttons) override;
  bool showInvitation(const std::string& informativeText, const std::string& invitation) override;
  void copyToClipboard(const std::string& text) override;

 private:
  // Runs `dialog` modally unless the application is quitting and returns the response
  // (GTK_RESPONSE_DELETE_EVENT when it was never shown). The caller destroys the dialog.
  int run(GtkWidget* dialog);
  // A message dialog with `title` as its primary and `text` as its secondary text, and
  // `buttons` whose responses are their indices.
  GtkWidget* messageDialog(const std::string& title, const std::string& text,
                           const std::vector<std::string>& buttons);

  GtkWindow* parent_ = nullptr;
  bool closing_ = false;
  std::vector<GtkDialog*> open_;
};

}  // namespace tamber::desktop
