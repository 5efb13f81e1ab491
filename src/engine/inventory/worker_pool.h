#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tamber::engine {

// A few helper threads that share loops with the thread that owns the pool, for work made
// of many independent system calls (inspecting the entries of a folder).
class WorkerPool {
 public:
  // Starts `helpers` threads (none: every loop runs on the caller alone).
  explicit WorkerPool(unsigned helpers);
  // Stops and joins the helpers.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Helpers for a machine's cores: one fewer than it has, at most three.
  static unsigned helpersForThisMachine();

  // Calls work(i) once for every i below `count`, on the calling thread and the helpers, and
  // returns when every call has returned. Calls may run at the same time, so each must touch
  // only what belongs to its own i. Only the owner's thread may call this; never reentrant.
  void forEach(size_t count, const std::function<void(size_t)>& work);

 private:
  void help();
  // Takes chunks of the current loop until none is left.
  void drain();

  std::vector<std::thread> helpers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable finished_;
  bool stopping_ = false;              // guarded by mutex_
  unsigned long long generation_ = 0;  // guarded by mutex_: one per loop
  unsigned busy_ = 0;                  // guarded by mutex_: helpers inside the current loop
  const std::function<void(size_t)>* work_ = nullptr;
  size_t count_ = 0;
  std::atomic<size_t> next_{0};
};

}  // namespace tamber::engine
