#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "engine/inventory/index_records.h"

namespace tamber::engine {

// Keeps the index of one folder current. At construction it takes the record of the index
// kept in the data directory, when that one is of the same folder, so that the last complete
// result can be shown at once. start() runs a background thread that indexes now (or, when
// the kept index is younger than the interval, when it comes due), then every interval after
// a run ends, and whenever scanNow() asks. A kept result is served for a few seconds before
// any run starts, so that a window opening with the engine gets its page first. Every
// finished run replaces the kept index; a run that is stopped halfway leaves it unchanged,
// and readers see the previous complete index until a run is complete.
class IndexService {
 public:
  // A consistent view for one reader. `generation` changes whenever `scan` or `indexing`
  // does, so a page can tell cheaply whether it shows the latest.
  struct State {
    std::string root;
    std::string dataDir;
    std::shared_ptr<const ScanRecord> scan;  // the last complete run; null until one ends
    bool indexing = false;
    uint64_t entriesSeen = 0;  // by the run under way
    int64_t indexingMs = 0;    // how long the run under way has taken so far
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
  void publish(std::shared_ptr<const ScanRecord> scan, bool indexing);

  const std::string root_;
  const std::string dataDir_;
  const std::chrono::seconds interval_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::shared_ptr<const ScanRecord> scan_;               // guarded by mutex_
  bool indexing_ = false;                                // guarded by mutex_
  bool scanRequested_ = false;                           // guarded by mutex_
  uint64_t generation_ = 0;                              // guarded by mutex_
  std::chrono::steady_clock::time_point indexingSince_;  // guarded by mutex_
  std::atomic<uint64_t> entriesSeen_{0};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace tamber::engine
