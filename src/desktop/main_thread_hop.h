#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>

namespace tamber::desktop {

// The synchronous hop from a worker thread to the UI thread: the work is queued on the
// default GLib main context, which only the UI thread iterates, and the worker waits until
// it has run there.
class MainThreadHop {
 public:
  MainThreadHop() = default;
  MainThreadHop(const MainThreadHop&) = delete;
  MainThreadHop& operator=(const MainThreadHop&) = delete;

  // Worker thread: runs `work` on the UI thread and returns once it has run. Returns without
  // running it once shutDown() was called, also when the call was already waiting. Never
  // call it from the UI thread (it would wait for itself). The hop must outlive every call.
  void run(const std::function<void()>& work);

  // UI thread, when the main loop will not run again: releases a waiting call and refuses
  // every later one, so that a worker being joined cannot wait forever.
  void shutDown();

 private:
  struct Call;
  static int runCall(void* data);

  std::mutex lock_;
  std::condition_variable changed_;
  bool shuttingDown_ = false;
};

}  // namespace tamber::desktop
