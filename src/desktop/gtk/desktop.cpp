#include "desktop/gtk/desktop.h"

#include <glib-unix.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "base/page_secret.h"
#include "desktop/gtk/fixture_proof.h"
#include "desktop/invitation.h"
#include "platform/executable_path.h"

namespace tamber::desktop {
namespace {

constexpr const char* kAboutText =
    "Private local inventory for humans and AI. Physical data measurements count shared "
    "extents once. Agent file access requires an explicit, scoped, temporary grant. No "
    "permanent-deletion endpoint.";

constexpr int kWindowWidth = 1280;
constexpr int kWindowHeight = 860;
constexpr int kMinimumWidth = 720;
constexpr int kMinimumHeight = 560;

// Where to drop a PNG of the page after each finished load, for checks of the window from
// outside (the GUI tests); unset in normal use.
constexpr const char* kPageSnapshotVariable = "TAMBER_PAGE_SNAPSHOT";
constexpr std::chrono::milliseconds kPageSnapshotDelay{1000};

constexpr std::chrono::seconds kFixtureProofDelay{2};
constexpr std::chrono::seconds kFixtureWatchdog{30};

std::string engineBeside() {
  const std::string self = ownExecutablePath();
  return self.empty() ? std::string() : enginePathBeside(self);
}

GSource* attachSource(GSource* source, GSourceFunc callback, gpointer data,
                      GDestroyNotify destroy) {
  g_source_set_callback(source, callback, data, destroy);
  g_source_attach(source, nullptr);
  return source;
}

gboolean terminateOnSignal(gpointer desktop) {
  static_cast<Desktop*>(desktop)->terminate();
  return G_SOURCE_CONTINUE;
}

}  // namespace

Desktop::Desktop()
    : dataDirectory_(desktop::dataDirectory(environment_, homeDirectory(environment_))),
      port_(enginePort(environment_)),
      fixtureRoot_(fixtureRoot(environment_)),
      enginePath_(engineBeside()),
      session_(dataDirectory_, &approver_),
      access_(session_.grants(), dialogs_,
              [this](const std::optional<AgentGrant>& grant) { return invitation(grant); }),
      undo_(dataDirectory_, dialogs_, trashPlacesFromEnvironment()) {
  // SIGTERM (the session ending) and SIGINT (Ctrl+C in a terminal) quit the way closing the
  // window does, so grants are revoked and the socket removed on every ordinary way out.
  for (int signal : {SIGTERM, SIGINT}) {
    sources_.push_back(
        attachSource(g_unix_signal_source_new(signal), terminateOnSignal, this, nullptr));
  }
}

Desktop::~Desktop() {
  for (GSource* source : sources_) {
    g_source_destroy(source);
    g_source_unref(source);
  }
  view_.reset();
  if (window_ != nullptr) {
    gtk_widget_destroy(window_);
  }
}

bool Desktop::launch() {
  try {
    session_.open();
  } catch (const std::exception& failure) {
    alert(kCouldNotStartTitle, failure.what());
    return false;
  }
  buildWindow();
  if (fixture()) {
    // A fixture run stays out of the way: behind other windows and without the focus.
    gtk_window_set_focus_on_map(GTK_WINDOW(window_), FALSE);
    gtk_widget_show_all(window_);
    gdk_window_lower(gtk_widget_get_window(window_));
  } else {
    gtk_widget_show_all(window_);
    gtk_window_present(GTK_WINDOW(window_));
  }
  connection_.connect(0);
  if (fixture()) {
    after(kFixtureWatchdog, [this] { terminate(); });
  }
  return true;
}

void Desktop::terminate() {
  if (terminating_) {
    return;
  }
  terminating_ = true;
  dialogs_.closeAll();
  if (mainLoopRunning_) {
    gtk_main_quit();
  }
}

void Desktop::quit() {
  // First let a broker call that waits for this thread go, or stopping the socket would
  // wait for it forever; the request is then denied.
  approver_.shutDown();
  session_.close();
}

std::string Desktop::invitation(const std::optional<AgentGrant>& grant) const {
  if (enginePath_.empty()) {
    throw std::runtime_error(std::strerror(ENOENT));
  }
  return invitationText(engineInvitationText(runEngineInvite(enginePath_, dataDirectory_)), grant);
}

void Desktop::probe(std::function<void(bool identified)> done) {
  probe_.probe(port_, std::move(done));
}

void Desktop::startEngine() {
  if (enginePath_.empty()) {
    throw std::runtime_error(std::strerror(ENOENT));
  }
  session_.startEngine(enginePath_, engineServeArguments(dataDirectory_, fixtureRoot_, port_));
}

void Desktop::loadPage() {
  // The engine has answered its probe, so its page's secret is in the data directory.
  view_->load(baseAddress(port_), readPageSecret(dataDirectory_));
}

void Desktop::alert(const std::string& title, const std::string& text) {
  access_.alert(title, text);
}

void Desktop::after(std::chrono::milliseconds delay, std::function<void()> work) {
  auto* task = new std::function<void()>(std::move(work));
  sources_.push_back(attachSource(
      g_timeout_source_new(static_cast<guint>(delay.count())),
      [](gpointer data) -> gboolean {
        (*static_cast<std::function<void()>*>(data))();
        return G_SOURCE_REMOVE;
      },
      task, [](gpointer data) { delete static_cast<std::function<void()>*>(data); }));
}

void Desktop::buildWindow() {
  view_ = std::make_unique<EngineView>(
      port_, EngineView::Events{
                 [this] { pageLoaded(); },
                 [this](const BridgeSender& sender, const std::string& body) {
                   bridgeMessage(sender, body);
                 },
             });

  window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window_), "Tamber");
  gtk_window_set_default_size(GTK_WINDOW(window_), kWindowWidth, kWindowHeight);
  GdkGeometry minimum{};
  minimum.min_width = kMinimumWidth;
  minimum.min_height = kMinimumHeight;
  gtk_window_set_geometry_hints(GTK_WINDOW(window_), nullptr, &minimum, GDK_HINT_MIN_SIZE);
  gtk_window_set_position(GTK_WINDOW(window_), GTK_WIN_POS_CENTER);
  // Closing the window quits Tamber.
  g_signal_connect(window_, "delete-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer self) {
                     static_cast<Desktop*>(self)->terminate();
                     return TRUE;
                   }),
                   this);

  GtkAccelGroup* accelerators = gtk_accel_group_new();
  gtk_window_add_accel_group(GTK_WINDOW(window_), accelerators);
  GtkWidget* menu = gtk_menu_new();
  gtk_menu_set_accel_group(GTK_MENU(menu), accelerators);
  GtkWidget* about = gtk_menu_item_new_with_label("About Tamber");
  GtkWidget* quit = gtk_menu_item_new_with_label("Quit Tamber");
  gtk_widget_add_accelerator(quit, "activate", accelerators, GDK_KEY_q, GDK_CONTROL_MASK,
                             GTK_ACCEL_VISIBLE);
  g_object_unref(accelerators);
  g_signal_connect(
      about, "activate",
      G_CALLBACK(+[](GtkMenuItem*, gpointer self) { static_cast<Desktop*>(self)->about(); }), this);
  g_signal_connect(quit, "activate", G_CALLBACK(+[](GtkMenuItem*, gpointer self) {
                     static_cast<Desktop*>(self)->terminate();
                   }),
                   this);
  gtk_menu_shell_append(GTK_MENU_SHELL(menu), about);
  gtk_menu_shell_append(GTK_MENU_SHELL(menu), gtk_separator_menu_item_new());
  gtk_menu_shell_append(GTK_MENU_SHELL(menu), quit);
  GtkWidget* application = gtk_menu_item_new_with_label("Tamber");
  gtk_menu_item_set_submenu(GTK_MENU_ITEM(application), menu);
  GtkWidget* bar = gtk_menu_bar_new();
  gtk_menu_shell_append(GTK_MENU_SHELL(bar), application);

  GtkWidget* column = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_box_pack_start(GTK_BOX(column), bar, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(column), view_->widget(), TRUE, TRUE, 0);
  gtk_container_add(GTK_CONTAINER(window_), column);
  dialogs_.setParent(GTK_WINDOW(window_));
}

void Desktop::about() {
  alert("Tamber", kAboutText);
}

void Desktop::pageLoaded() {
  if (auto path = environment_(kPageSnapshotVariable); path && !path->empty()) {
    after(kPageSnapshotDelay, [this, target = *path] { view_->snapshot(target, nullptr); });
  }
  if (fixture()) {
    after(kFixtureProofDelay, [this] { fixtureProof(*this); });
  }
}

void Desktop::bridgeMessage(const BridgeSender& sender, const std::string& body) {
  const std::optional<BridgeAction> action = bridgeAction(sender, port_, body);
  const std::optional<std::int64_t> undo = bridgeUndoChange(sender, port_, body);
  // One flow at a time: a page that posts again while a dialog is open (it cannot be
  // clicked then, but its scripts still run) does not stack dialogs on top of it.
  if ((!action && !undo) || inFlow_ || terminating_) {
    return;
  }
  inFlow_ = true;
  if (action) {
    access_.perform(*action);
  } else if (undo_.undo(*undo) && view_) {
    // The view shows the change as undone at once.
    view_->reload();
  }
  inFlow_ = false;
}

int runDesktop(const std::vector<std::string>& arguments) {
  g_set_prgname("tamber");
  g_set_application_name("Tamber");
  // GTK takes its own options (such as --display) out of the vector it is given.
  std::vector<std::string> copies(arguments);
  std::vector<char*> pointers;
  for (std::string& argument : copies) {
    pointers.push_back(argument.data());
  }
  pointers.push_back(nullptr);
  int argc = static_cast<int>(copies.size());
  char** argv = pointers.data();
  if (!gtk_init_check(&argc, &argv)) {
    std::fputs("Tamber needs a graphical session, and no display could be opened.\n", stderr);
    return 1;
  }
  gtk_window_set_default_icon_name("tamber");
  Desktop desktop;
  const bool launched = desktop.launch();
  if (launched && !desktop.terminating_) {
    desktop.mainLoopRunning_ = true;
    gtk_main();
    desktop.mainLoopRunning_ = false;
  }
  desktop.quit();
  return launched ? 0 : 1;
}

}  // namespace tamber::desktop
