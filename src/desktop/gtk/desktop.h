#pragma once

#include <gtk/gtk.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "desktop/access_dialogs.h"
#include "desktop/desktop_session.h"
#include "desktop/engine_connection.h"
#include "desktop/gtk/approver.h"
#include "desktop/gtk/desktop_entry.h"
#include "desktop/gtk/dialogs.h"
#include "desktop/gtk/engine_view.h"
#include "desktop/identity_probe.h"
#include "desktop/settings.h"
#include "desktop/undo_dialogs.h"

namespace tamber::desktop {

// The windowed application: the session (data directory, lock, agent socket, engine), the
// window with the engine's page, the bridge and the dialogs behind it.
//
// Threads: the UI thread only; the agent server's thread reaches it through the approver.
class Desktop : private EngineConnection::Host {
 public:
  // Reads the settings from the process environment.
  Desktop();
  ~Desktop() override;
  Desktop(const Desktop&) = delete;
  Desktop& operator=(const Desktop&) = delete;

  // The launch sequence. Returns false after a failure before the window exists; the alert
  // "Tamber could not start" has then been shown and only quit() remains.
  bool launch();

  // Asks the application to end: every open dialog is closed as dismissed, no new one is
  // shown, and the main loop returns. Idempotent.
  void terminate();

  // The quit sequence, once the main loop has returned: revokes every grant, asks an engine
  // this desktop started to end, removes the agent socket and releases the lock.
  void quit();

  // For the fixture-mode proofs.
  bool fixture() const { return fixtureRoot_.has_value(); }
  EngineView* view() const { return view_.get(); }
  GrantStore& grants() { return session_.grants(); }
  const std::string& dataDirectory() const { return dataDirectory_; }
  const std::string& enginePath() const { return enginePath_; }
  AccessDialogs& access() { return access_; }
  // The invitation text for `grant` (or the index-only one); throws as the dialog reports.
  std::string invitation(const std::optional<AgentGrant>& grant) const;

 private:
  // EngineConnection::Host
  void probe(std::function<void(bool identified)> done) override;
  void startEngine() override;
  void loadPage() override;
  void alert(const std::string& title, const std::string& text) override;
  void after(std::chrono::milliseconds delay, std::function<void()> work) override;

  void buildWindow();
  void about();
  void pageLoaded();
  void bridgeMessage(const BridgeSender& sender, const std::string& body);

  Environment environment_ = processEnvironment();
  std::string dataDirectory_;
  int port_;
  std::optional<std::string> fixtureRoot_;
  std::string enginePath_;

  GtkDialogHost dialogs_;
  GtkApprover approver_{dialogs_};
  DesktopSession session_;
  AccessDialogs access_;
  UndoDialogs undo_;
  IdentityProbe probe_;
  EngineConnection connection_{*this};

  GtkWidget* window_ = nullptr;
  std::unique_ptr<EngineView> view_;
  bool terminating_ = false;
  bool mainLoopRunning_ = false;
  bool inFlow_ = false;            // a bridge flow's dialogs are open
  std::vector<GSource*> sources_;  // signal watches and timers, destroyed with the desktop

  friend int runDesktop(const std::vector<std::string>& arguments);
};

}  // namespace tamber::desktop
