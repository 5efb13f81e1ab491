#include "desktop/gtk/dialogs.h"

#include <algorithm>

namespace tamber::desktop {
namespace {

constexpr int kInvitationWidth = 620;
constexpr int kInvitationHeight = 340;

// GTK shows a label's text as markup only when asked to; these all stay plain text.
GtkWidget* wrappingLabel(const std::string& text, int widthChars) {
  GtkWidget* label = gtk_label_new(text.c_str());
  gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
  gtk_label_set_max_width_chars(GTK_LABEL(label), widthChars);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0F);
  return label;
}

}  // namespace

int GtkDialogHost::run(GtkWidget* dialog) {
  if (closing_) {
    return GTK_RESPONSE_DELETE_EVENT;
  }
  open_.push_back(GTK_DIALOG(dialog));
  const int response = gtk_dialog_run(GTK_DIALOG(dialog));
  open_.erase(std::find(open_.begin(), open_.end(), GTK_DIALOG(dialog)));
  return response;
}

void GtkDialogHost::closeAll() {
  closing_ = true;
  // Each response ends that dialog's gtk_dialog_run once control returns to its loop.
  for (GtkDialog* dialog : std::vector<GtkDialog*>(open_)) {
    gtk_dialog_response(dialog, GTK_RESPONSE_DELETE_EVENT);
  }
}

GtkWidget* GtkDialogHost::messageDialog(const std::string& title, const std::string& text,
                                        const std::vector<std::string>& buttons) {
  GtkWidget* dialog = gtk_message_dialog_new(
      parent_, static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
      GTK_MESSAGE_OTHER, GTK_BUTTONS_NONE, "%s", title.c_str());
  gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", text.c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), title.c_str());
  if (parent_ == nullptr) {
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
  }
  // Added right to left, so that the first button ends up rightmost.
  for (size_t index = buttons.size(); index-- > 0;) {
    GtkWidget* button =
        gtk_dialog_add_button(GTK_DIALOG(dialog), buttons[index].c_str(), static_cast<int>(index));
    gtk_button_set_use_underline(GTK_BUTTON(button), FALSE);
  }
  if (!buttons.empty()) {
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), 0);
  }
  return dialog;
}

std::optional<std::vector<std::string>> GtkDialogHost::chooseFolders(const std::string& title) {
  GtkWidget* dialog = gtk_file_chooser_dialog_new(
      title.c_str(), parent_, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, "_Cancel", GTK_RESPONSE_CANCEL,
      kChooseScopeButton, GTK_RESPONSE_ACCEPT, nullptr);
  gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
  gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(dialog), TRUE);
  gtk_file_chooser_set_local_only(GTK_FILE_CHOOSER(dialog), TRUE);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
  const int response = run(dialog);
  std::optional<std::vector<std::string>> folders;
  if (response == GTK_RESPONSE_ACCEPT) {
    folders.emplace();
    GSList* names = gtk_file_chooser_get_filenames(GTK_FILE_CHOOSER(dialog));
    for (GSList* name = names; name != nullptr; name = name->next) {
      folders->emplace_back(static_cast<const char*>(name->data));
    }
    g_slist_free_full(names, g_free);
  }
  gtk_widget_destroy(dialog);
  return folders;
}

DialogHost::GrantAnswer GtkDialogHost::confirmGrant(const std::string& title,
                                                    const std::string& text) {
  GtkWidget* dialog = messageDialog(title, text, {"Grant access", "Cancel"});
  GtkWidget* area = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog));

  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
  gtk_widget_set_size_request(box, 490, -1);
  GtkWidget* rights = gtk_combo_box_text_new();
  gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(rights), kViewOnlyRights);
  gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(rights), kEditRights);
  gtk_combo_box_set_active(GTK_COMBO_BOX(rights), 0);
  gtk_widget_set_halign(rights, GTK_ALIGN_START);
  GtkWidget* acknowledgement = gtk_check_button_new_with_label(kAcknowledgementTitle);
  gtk_container_add(GTK_CONTAINER(box), rights);
  gtk_container_add(GTK_CONTAINER(box), wrappingLabel(kRiskText, 70));
  gtk_container_add(GTK_CONTAINER(box), acknowledgement);
  gtk_container_add(GTK_CONTAINER(area), box);
  gtk_widget_show_all(box);

  GrantAnswer answer;
  answer.granted = run(dialog) == 0;
  answer.rightsIndex = gtk_combo_box_get_active(GTK_COMBO_BOX(rights));
  answer.acknowledged = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(acknowledgement));
  gtk_widget_destroy(dialog);
  return answer;
}

int GtkDialogHost::alert(const std::string& title, const std::string& text,
                         const std::vector<std::string>& buttons) {
  GtkWidget* dialog = messageDialog(title, text, buttons);
  const int response = run(dialog);
  gtk_widget_destroy(dialog);
  return response >= 0 && response < static_cast<int>(buttons.size()) ? response : -1;
}

bool GtkDialogHost::showInvitation(const std::string& informativeText,
                                   const std::string& invitation) {
  GtkWidget* dialog =
      messageDialog("Invite an agent", informativeText, {"Copy invitation", "Close"});
  GtkWidget* area = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog));

  GtkWidget* scroller = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_NEVER,
                                 GTK_POLICY_ALWAYS);
  gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scroller), GTK_SHADOW_IN);
  gtk_widget_set_size_request(scroller, kInvitationWidth, kInvitationHeight);

  GtkWidget* view = gtk_text_view_new();
  gtk_text_view_set_editable(GTK_TEXT_VIEW(view), FALSE);
  gtk_text_view_set_cursor_visible(GTK_TEXT_VIEW(view), FALSE);
  gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(view), GTK_WRAP_WORD_CHAR);
  gtk_text_view_set_monospace(GTK_TEXT_VIEW(view), TRUE);
  gtk_text_view_set_left_margin(GTK_TEXT_VIEW(view), 4);
  gtk_text_view_set_right_margin(GTK_TEXT_VIEW(view), 4);
  GtkCssProvider* css = gtk_css_provider_new();
  gtk_css_provider_load_from_data(css, "textview { font-family: monospace; font-size: 11pt; }", -1,
                                  nullptr);
  gtk_style_context_add_provider(gtk_widget_get_style_context(view), GTK_STYLE_PROVIDER(css),
                                 GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(css);
  // Invitations are built from JSON strings and checked folder names, so they are UTF-8;
  // the text view would show nothing at all otherwise.
  gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(view)), invitation.c_str(),
                           static_cast<int>(invitation.size()));
  gtk_container_add(GTK_CONTAINER(scroller), view);
  gtk_container_add(GTK_CONTAINER(area), scroller);
  gtk_widget_show_all(scroller);
  const bool copy = run(dialog) == 0;
  gtk_widget_destroy(dialog);
  return copy;
}

void GtkDialogHost::copyToClipboard(const std::string& text) {
  GtkClipboard* clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
  gtk_clipboard_set_text(clipboard, text.c_str(), static_cast<int>(text.size()));
  // Hands the text to the clipboard manager, if there is one, so it outlives this process.
  gtk_clipboard_store(clipboard);
}

}  // namespace tamber::desktop
