#include "desktop/main_thread_hop.h"

#include <glib.h>

#include <memory>

namespace tamber::desktop {

// One call. Shared between the waiting worker and the queued idle callback, so either may
// be the last to let go of it.
struct MainThreadHop::Call {
  MainThreadHop* hop;
  const std::function<void()>* work;  // valid only while the worker waits
  bool done = false;
  bool abandoned = false;
};

int MainThreadHop::runCall(void* data) {
  const std::shared_ptr<Call>& call = *static_cast<std::shared_ptr<Call>*>(data);
  MainThreadHop& hop = *call->hop;
  {
    std::lock_guard<std::mutex> guard(hop.lock_);
    // Once the worker stopped waiting, `work` is gone with its caller's frame.
    if (call->abandoned || hop.shuttingDown_) {
      return G_SOURCE_REMOVE;
    }
  }
  // Outside the lock: the work may show dialogs and wait for a person for a long time.
  (*call->work)();
  {
    std::lock_guard<std::mutex> guard(hop.lock_);
    call->done = true;
  }
  hop.changed_.notify_all();
  return G_SOURCE_REMOVE;
}

void MainThreadHop::run(const std::function<void()>& work) {
  auto call = std::make_shared<Call>(Call{this, &work});
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (shuttingDown_) {
      return;
    }
  }
  // An idle source, not g_main_context_invoke: invoke runs the function on the calling
  // thread whenever the UI thread happens not to hold the context at that moment.
  g_idle_add_full(G_PRIORITY_DEFAULT, runCall, new std::shared_ptr<Call>(call),
                  [](void* data) { delete static_cast<std::shared_ptr<Call>*>(data); });
  std::unique_lock<std::mutex> guard(lock_);
  changed_.wait(guard, [&] { return call->done || shuttingDown_; });
  if (!call->done) {
    call->abandoned = true;
  }
}

void MainThreadHop::shutDown() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    shuttingDown_ = true;
  }
  changed_.notify_all();
}

}  // namespace tamber::desktop
