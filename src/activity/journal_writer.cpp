#include "activity/journal_writer.h"

#include <sqlite3.h>

#include <chrono>
#include <map>

#include "actions/digest.h"
#include "activity/journal.h"
#include "base/failure.h"
#include "base/reply.h"
#include "platform/thread_name.h"
#include "platform/thread_priority.h"

namespace tamber {
namespace {

constexpr size_t kQueueLimit = 10'000;
// How long the thread gathers records after the first of a batch arrives: the broker's
// busiest moments become one transaction, and the thread wakes a few times a second at most.
constexpr auto kGathering = std::chrono::milliseconds(50);
// How many times a batch waits the journal's busy timeout (5 s) for another connection's
// transaction before it is lost: longer than an undo's checks may take.
constexpr int kBusyAttempts = 30;

std::string foldersJson(const AgentGrant& grant) {
  Json folders = Json::array();
  for (const std::string& root : grant.roots) {
    folders.push_back(root);
  }
  return jsonData(folders);
}

std::string identitiesJson(const AgentGrant& grant) {
  Json identities = Json::object();
  for (const auto& [root, identity] : grant.identities) {
    identities[root] = Json::array({identity.device, identity.inode});
  }
  return jsonData(identities);
}

}  // namespace

// The journal's thread's own state: the connection and its statements.
class ActivityJournal::Writer {
 public:
  explicit Writer(std::string dataDirectory) : dataDirectory_(std::move(dataDirectory)) {}

  // Opens the journal unless it is open; true when it is. A failure is the status.
  bool ready() {
    if (db_) {
      return true;
    }
    std::string setAside;
    try {
      db_ = openJournalForWriting(dataDirectory_, setAside);
      insertGrant_ = std::make_unique<Statement>(
          db_,
          "INSERT OR IGNORE INTO grants (id, folders, identities, edit, elevated, started_at, "
          "expires_at, ended_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
      insertEntry_ = std::make_unique<Statement>(
          db_,
          "INSERT INTO entries (grant_number, at, action, path, destination, ok, device, inode, "
          "size, sha256, modified_ns, backup_path, backup_device, backup_inode, "
          "previous_sha256) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, "
          "?14, ?15)");
      grantNumber_ = std::make_unique<Statement>(db_, "SELECT number FROM grants WHERE id = ?1");
      endGrant_ = std::make_unique<Statement>(
          db_, "UPDATE grants SET ended_at = ?2 WHERE id = ?1 AND ended_at IS NULL");
      // Grants never outlive the process that made them: whatever an earlier run left open
      // ended when that run did, no later than its last request. Only at the first opening:
      // opened again after a failure, the open grants are this run's, and live.
      if (!earlierRunsEnded_) {
        Statement ended(db_,
                        "UPDATE grants SET ended_at = coalesce((SELECT max(at) FROM entries "
                        "WHERE grant_number = grants.number), started_at) WHERE ended_at IS NULL "
                        "AND expires_at > ?1");
        ended.bind(1, journalMs(WallClock::now())).run();
        earlierRunsEnded_ = true;
      }
    } catch (const Failure& failure) {
      close();
      status_.setAside = setAside;
      fail(failure.description());
      return false;
    }
    status_ = JournalStatus{true, lostProblem(), setAside};
    writeJournalStatus(dataDirectory_, status_);
    return true;
  }

  // Writes `batch` in one transaction; on failure the batch is lost and the status says why.
  // While another connection holds the journal (an undo checking what it will put back), the
  // batch waits for it instead: this thread may wait, the records may not be lost.
  void write(std::vector<Event>& batch) {
    if (!ready()) {
      lost_ += batch.size();
      return;
    }
    for (int attempt = 1;; ++attempt) {
      try {
        writeOnce(batch);
        break;
      } catch (const Failure& failure) {
        const int code = sqlite3_errcode(db_.get()) & 0xff;
        sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        knownGrants_.clear();  // rows inserted by the rolled-back transaction are gone
        if (code == SQLITE_BUSY && attempt < kBusyAttempts) {
          continue;
        }
        lost_ += batch.size();
        // A journal that vanished or broke under us is opened afresh next time.
        close();
        fail(failure.description());
        return;
      }
    }
    if (!status_.recording) {
      status_ = JournalStatus{true, lostProblem(), status_.setAside};
      writeJournalStatus(dataDirectory_, status_);
    }
  }

  // Counts records the queue had no room for.
  void dropped(std::uint64_t count) {
    if (count == 0) {
      return;
    }
    lost_ += count;
    lastProblem_ = "the journal fell behind the broker";
    status_.problem = lostProblem();
    writeJournalStatus(dataDirectory_, status_);
  }

 private:
  void writeOnce(std::vector<Event>& batch) {
    db_.execute("BEGIN IMMEDIATE");
    for (Event& event : batch) {
      if (auto* record = std::get_if<ActivityRecord>(&event)) {
        insert(*record);
      } else {
        const Ended& ended = std::get<Ended>(event);
        for (const std::string& id : ended.ids) {
          endedAt_[id] = journalMs(ended.at);
          endGrant_->bind(1, id).bind(2, journalMs(ended.at)).run();
        }
      }
    }
    db_.execute("COMMIT");
  }

  void insert(ActivityRecord& record) {
    const AgentGrant& grant = *record.grant;
    auto known = knownGrants_.find(grant.id);
    if (known == knownGrants_.end()) {
      insertGrant_->bind(1, grant.id)
          .bind(2, foldersJson(grant))
          .bind(3, identitiesJson(grant))
          .bind(4, grant.edit)
          .bind(5, grant.elevated)
          .bind(6, journalMs(grant.created))
          .bind(7, journalMs(grant.expires));
      if (const auto ended = endedAt_.find(grant.id); ended != endedAt_.end()) {
        insertGrant_->bind(8, ended->second);
      } else {
        insertGrant_->bindNull(8);
      }
      insertGrant_->run();
      grantNumber_->bind(1, grant.id);
      grantNumber_->step();
      known = knownGrants_.emplace(grant.id, grantNumber_->integer(0)).first;
      grantNumber_->run();
    }
    ChangeProof proof = record.proof.value_or(ChangeProof{});
    if (record.proof && proof.sha256.empty() &&
        (record.action == "write_new" || record.action == "replace")) {
      // What the action wrote is exactly the request's text.
      proof.sha256 = memoryDigest(record.text.data(), record.text.size());
    }
    insertEntry_->bind(1, known->second)
        .bind(2, journalMs(record.at))
        .bind(3, record.action)
        .bind(4, record.path)
        .bind(5, record.destination)
        .bind(6, record.ok)
        .bind(7, proof.entry.device)
        .bind(8, proof.entry.inode)
        .bind(9, proof.size)
        .bind(10, proof.sha256)
        .bind(11, proof.modifiedNs)
        .bind(12, proof.backupPath)
        .bind(13, proof.backup.device)
        .bind(14, proof.backup.inode)
        .bind(15, proof.previousSha256)
        .run();
  }

  void fail(const std::string& reason) {
    lastProblem_ = reason;
    status_.recording = false;
    status_.problem = reason;
    writeJournalStatus(dataDirectory_, status_);
  }

  std::string lostProblem() const {
    if (lost_ == 0) {
      return {};
    }
    return std::to_string(lost_) + (lost_ == 1 ? " request" : " requests") +
           " could not be recorded (" + lastProblem_ + ")";
  }

  void close() {
    insertGrant_.reset();
    insertEntry_.reset();
    grantNumber_.reset();
    endGrant_.reset();
    db_ = SqliteDb();
    knownGrants_.clear();
  }

  const std::string dataDirectory_;
  SqliteDb db_;
  std::unique_ptr<Statement> insertGrant_;
  std::unique_ptr<Statement> insertEntry_;
  std::unique_ptr<Statement> grantNumber_;
  std::unique_ptr<Statement> endGrant_;
  bool earlierRunsEnded_ = false;
  std::map<std::string, std::int64_t> knownGrants_;  // grant id to its row, once written
  std::map<std::string, std::int64_t> endedAt_;      // grants ended in this run
  JournalStatus status_;
  std::uint64_t lost_ = 0;
  std::string lastProblem_;
};

ActivityJournal::ActivityJournal(std::string dataDirectory)
    : dataDirectory_(std::move(dataDirectory)) {
  thread_ = std::thread([this] { run(); });
}

ActivityJournal::~ActivityJournal() {
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void ActivityJournal::push(Event event) noexcept {
  bool first = false;
  {
    std::lock_guard guard(lock_);
    ++queued_;
    if (queue_.size() >= kQueueLimit) {
      ++dropped_;
      ++done_;
      return;
    }
    try {
      queue_.push_back(std::move(event));
    } catch (...) {
      ++dropped_;
      ++done_;
      return;
    }
    first = queue_.size() == 1;
  }
  // Only the first record of a batch wakes the thread; the rest find it gathering.
  if (first) {
    wake_.notify_one();
  }
}

void ActivityJournal::record(ActivityRecord record) noexcept {
  push(Event(std::in_place_type<ActivityRecord>, std::move(record)));
}

void ActivityJournal::grantsEnded(std::vector<std::string> ids, WallClock::time_point at) noexcept {
  push(Event(std::in_place_type<Ended>, Ended{std::move(ids), at}));
}

void ActivityJournal::flush() {
  std::unique_lock lock(lock_);
  const std::uint64_t target = queued_;
  flushing_ = true;
  wake_.notify_one();
  written_.wait(lock, [&] { return started_ && done_ >= target; });
  flushing_ = false;
}

void ActivityJournal::run() {
  nameCurrentThread("ActivityJournal");
  // The broker answers agents; this thread only keeps records, and can wait.
  lowerCurrentThreadPriority();
  Writer writer(dataDirectory_);
  writer.ready();
  std::vector<Event> batch;
  std::unique_lock lock(lock_);
  started_ = true;
  written_.notify_all();
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (!stopping_ && !flushing_) {
      wake_.wait_for(lock, kGathering, [&] { return stopping_ || flushing_; });
    }
    batch.swap(queue_);
    const std::uint64_t dropped = std::exchange(dropped_, 0);
    const bool stop = stopping_;
    lock.unlock();
    writer.dropped(dropped);
    if (!batch.empty()) {
      writer.write(batch);
    }
    const size_t count = batch.size();
    batch.clear();  // the grants and texts go before the lock is taken again; the room stays
    lock.lock();
    done_ += count;
    written_.notify_all();
    if (stop && queue_.empty()) {
      return;
    }
  }
}

}  // namespace tamber
