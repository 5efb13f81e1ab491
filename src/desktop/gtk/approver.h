#pragma once

#include <functional>
#include <string>

#include "agent/elevated.h"
#include "desktop/gtk/dialogs.h"
#include "desktop/main_thread_hop.h"

namespace tamber::desktop {

// The agent broker's way onto the GTK main thread, and the approval dialog for elevated
// requests.
class GtkApprover : public ElevatedApprover {
 public:
  // `dialogs` must outlive the approver.
  explicit GtkApprover(GtkDialogHost& dialogs) : dialogs_(dialogs) {}

  // Broker thread: runs `work` on the main thread and returns once it has run there, or at
  // once, without running it, after shutDown().
  void runOnMainThread(const std::function<void()>& work) override { hop_.run(work); }

  // Main thread: the approval dialog; true only for "Allow and authenticate".
  bool approve(const std::string& messageText, const std::string& informativeText) override {
    return dialogs_.alert(messageText, informativeText, {kApproveButtonLabel, kDenyButtonLabel}) ==
           0;
  }

  // Main thread, at quit, before the agent server is stopped: releases a broker call that
  // waits for the main thread and refuses every later one (those requests are denied).
  void shutDown() { hop_.shutDown(); }

 private:
  GtkDialogHost& dialogs_;
  MainThreadHop hop_;
};

}  // namespace tamber::desktop
