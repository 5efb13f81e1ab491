#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "access/grant.h"
#include "actions/change_proof.h"

namespace tamber {

// One answered request, as the broker hands it over: a few strings and a shared grant.
struct ActivityRecord {
  std::shared_ptr<const AgentGrant> grant;
  WallClock::time_point at;
  std::string action;
  std::string path;
  std::string destination;
  bool ok = true;
  // What a change left, when the broker learned it (see ChangeProof); for write_new and
  // replace the content's digest is taken from `text` by the journal's own thread.
  std::optional<ChangeProof> proof;
  std::string text;  // write_new and replace: the text written
};

// The broker's journal writer: a thread of its own ("ActivityJournal") that takes records
// from a bounded queue and writes them in batches, one transaction each, into the data
// directory's journal (see journal.h), and keeps "agent-activity.status" saying whether it
// can. Recording costs the broker a move into the queue; it never waits for the disk and
// never fails: a journal that cannot be written, or a queue that is full, loses records and
// says so in the status, and the broker's replies are the same either way.
//
// Threads: construct and destroy on one thread; record() and grantsEnded() from any thread
// (the broker's, the UI's when grants are revoked); flush() from any thread but the journal's.
class ActivityJournal {
 public:
  // Starts the thread, which opens (or creates, or sets aside and starts again) the journal
  // of `dataDirectory` and ends the grants an earlier run left open.
  explicit ActivityJournal(std::string dataDirectory);
  // Writes what is queued, then stops the thread.
  ~ActivityJournal();
  ActivityJournal(const ActivityJournal&) = delete;
  ActivityJournal& operator=(const ActivityJournal&) = delete;

  // Queues `record`; drops it (and counts it lost) when 10,000 records wait already.
  void record(ActivityRecord record) noexcept;

  // Queues the end of the grants `ids` at `at` (revoked, or Tamber quitting).
  void grantsEnded(std::vector<std::string> ids, WallClock::time_point at) noexcept;

  // Returns once the journal was opened (or found unusable) and everything queued before the
  // call is written (or lost).
  void flush();

 private:
  struct Ended {
    std::vector<std::string> ids;
    WallClock::time_point at;
  };
  using Event = std::variant<ActivityRecord, Ended>;
  class Writer;

  void run();
  void push(Event event) noexcept;

  const std::string dataDirectory_;
  std::mutex lock_;
  std::condition_variable wake_;
  std::condition_variable written_;
  // Guarded by lock_. A vector that the thread swaps with its emptied batch, so that after
  // the first batches a record costs the broker no allocation of its own.
  std::vector<Event> queue_;
  std::uint64_t queued_ = 0;   // events ever queued or dropped; guarded by lock_
  std::uint64_t done_ = 0;     // of those, written or lost; guarded by lock_
  std::uint64_t dropped_ = 0;  // lost because the queue was full; guarded by lock_
  bool started_ = false;       // the thread opened the journal; guarded by lock_
  bool flushing_ = false;      // guarded by lock_
  bool stopping_ = false;      // guarded by lock_
  std::thread thread_;
};

}  // namespace tamber
