#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "engine/inventory.h"

namespace tamber::engine {

// Keeps the inventory of one folder current. At construction it takes the inventory kept in
// the data directory, when that one is of the same folder, so that it can be shown at once.
// start() runs a background thread that indexes now (or, when the kept inventory is younger
// than the interval, when it comes due), then every interval after a run ends, and whenever
// scanNow() asks. Every finished run replaces the current inventory and is kept in the data
// directory; a run that is stopped halfway leaves both unchanged.
class IndexService {
 public:
  // A consistent view for one reader. `generation` changes whenever `inventory` or
  // `indexing` does, so a page can tell cheaply whether it shows the latest.
  struct State {
    std::string root;
    std::shared_ptr<const Inventory> inventory;  // null until the first run ends
    bool indexing = false;
    uint64_t generation = 0;
  };

  // `root` and `dataDir` are absolute paths; `interval` is at least one second.
  IndexService(std::string root, std::string dataDir, std::chrono::seconds interval);
  IndexService(const IndexService&) = delete;
  IndexService& operator=(const IndexService&) = delete;
  // Stops and joins the thread.
  ~IndexService();

  // Starts the background thread. Call once.
  void start();

  // Asks a run in progress to give up and waits for the thread to end. Idempotent.
  void stop();

  // Asks for a run as soon as the current one, if any, has finished. Any thread.
  void scanNow();

  // Any thread.
  State state() const;

 private:
  void run();
  void publish(std::shared_ptr<const Inventory> inventory, bool indexing);

  const std::string root_;
  const std::string dataDir_;
  const std::chrono::seconds interval_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::shared_ptr<const Inventory> inventory_;  // guarded by mutex_
  bool indexing_ = false;                       // guarded by mutex_
  bool scanRequested_ = false;                  // guarded by mutex_
  uint64_t generation_ = 0;                     // guarded by mutex_
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace tamber::engine
