#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "access/grant.h"
#include "actions/change_proof.h"
#include "base/reply.h"
#include "base/sqlite.h"

namespace tamber {

// The activity journal: "agent-activity.db" in the data directory, one SQLite file (mode 0600,
// WAL) with a row for every request the audit log records, the grant it came under, and what
// each change left on disk. The broker writes it (ActivityJournal); the page, the command line
// and the undo read it. Beside it, "agent-activity.status" says whether the broker could
// record, for the page, which is served by another process.
inline constexpr const char* kJournalName = "agent-activity.db";
inline constexpr const char* kJournalStatusName = "agent-activity.status";
inline constexpr int kJournalSchemaVersion = 1;

// A grant as the journal keeps it: never its token.
struct JournalGrant {
  std::string id;
  std::vector<std::string> folders;                  // canonical roots, in the grant's order
  std::map<std::string, FolderIdentity> identities;  // keyed by root, as captured at the grant
  bool edit = false;
  bool elevated = false;
  std::int64_t startedMs = 0;  // milliseconds since 1970
  std::int64_t expiresMs = 0;
  std::optional<std::int64_t> endedMs;  // revoked, or Tamber quit, before it expired

  // "view", "edit", "elevated view" or "elevated edit".
  std::string mode() const;
};

// One answered request.
struct JournalEntry {
  std::int64_t id = 0;  // the change id that `larkspan undo` and the page's "Undo" name
  std::string grantId;
  std::int64_t atMs = 0;
  std::string action;       // as the agent named it
  std::string path;         // as the agent named it
  std::string destination;  // copy and move; "" otherwise
  bool ok = true;           // false only for elevated requests that were denied or failed
  bool elevated = false;
  // What the change left (all zero and empty for reads and for what the journal could not
  // learn, such as an elevated change's inode).
  ChangeProof proof;
  std::optional<std::int64_t> undoneMs;
  std::string undoneBy;  // who undid it and from where, for people to read

  // True for a successful write_new, mkdir, copy, move or replace.
  bool isChange() const;
};

// True for the actions that change something.
bool isChangeAction(std::string_view action);

// An open journal, for reading and for recording undos. Every member throws Failure with
// SQLite's text. One thread at a time.
class Journal {
 public:
  // The journal of `dataDir`, or nullptr when there is none yet. Never creates, repairs or
  // sets aside anything (that is the broker's); a journal that is no database, is damaged or
  // comes from a newer Tamber throws Failure saying so. `writable` opens it for undos.
  static std::unique_ptr<Journal> open(const std::string& dataDir, bool writable);

  // Grants with at least one entry, most recently started first; only `grantId` when given.
  std::vector<JournalGrant> grants(const std::optional<std::string>& grantId = std::nullopt);
  std::optional<JournalGrant> grant(const std::string& id);
  // The grant's entries in the order they were answered.
  std::vector<JournalEntry> entries(const std::string& grantId);
  std::optional<JournalEntry> entry(std::int64_t id);
  // How many successful changes were answered at or after `sinceMs`.
  std::int64_t changesSince(std::int64_t sinceMs);

  // Changes with every new entry and every undo: "<entries>:<undone>".
  std::string signature();

  // Records that `id` was undone at `atMs` by `who`; false when it already was.
  bool markUndone(std::int64_t id, std::int64_t atMs, const std::string& who);

  const SqliteDb& db() const { return db_; }

 private:
  explicit Journal(SqliteDb db) : db_(std::move(db)) {}
  SqliteDb db_;
};

// The broker's side: opens the journal of `dataDir` for writing, creating it (mode 0600,
// WAL, synchronous NORMAL) when missing. A file that is no database, is damaged, is not an
// activity journal or comes from a newer Tamber is renamed aside (never deleted) as
// "agent-activity-set-aside-<UTC time>.db", with its -wal and -shm files, and a new one is
// started; `setAside` then receives a sentence saying so. Throws Failure when no journal can
// be had (the data directory is read-only, a name cannot be moved aside, ...).
SqliteDb openJournalForWriting(const std::string& dataDir, std::string& setAside);

// What the broker last said about recording.
struct JournalStatus {
  bool recording = true;
  std::string problem;   // why it is not recording, or why some records were lost
  std::string setAside;  // the sentence about a journal set aside at the last start
};

// Replaces "agent-activity.status" with `status`, whole (written beside it and renamed).
// Best effort: a status that cannot be written is lost.
void writeJournalStatus(const std::string& dataDir, const JournalStatus& status) noexcept;

// The status the broker last wrote; nothing when there is none or it cannot be read.
std::optional<JournalStatus> readJournalStatus(const std::string& dataDir);

// The sentences the page shows about recording, or none when all is well: "Activity is not
// being recorded: <reason>", and the one about a journal set aside.
std::vector<std::string> journalNotices(const JournalStatus& status);

// Milliseconds since 1970 of `time`, as the journal keeps times.
std::int64_t journalMs(WallClock::time_point time);

// The start of the local day that holds `nowMs`, in the journal's milliseconds.
std::int64_t localDayStartMs(std::int64_t nowMs);

// `ms` as local time "%H:%M:%S", and with the date, "%x %H:%M".
std::string journalClockText(std::int64_t ms);
std::string journalDateText(std::int64_t ms);

// Where `path` lies in `grant`: the path below the innermost granted folder that holds it
// ("notes.txt", "docs/plan.md"), or the path itself when no folder holds it.
std::string pathInGrant(const JournalGrant& grant, const std::string& path);

// Every grant (or only `grantId`) with its entries, as the command line's --json and the
// page's interface give it: {"grants": [{"id", "folders", "mode", "started_at", "expires_at",
// "ended_at", "state", "reads", "changes", "entries": [{"id", "at", "action", "path",
// "destination", "ok", "change", "elevated", "undone_at", "undone_by"}, ...]}, ...]}; times
// in seconds since 1970. `nowMs` decides which grants are still active.
Json activityJson(Journal& journal, const std::optional<std::string>& grantId, std::int64_t nowMs);

// "active, 12 min left", "expired 14:32" or "ended 14:10" for `grant` at `nowMs`.
std::string grantStateText(const JournalGrant& grant, std::int64_t nowMs);

// A grant's entries as the review shows them: each change on a line of its own, in order, and
// the requests between two changes that changed nothing folded into one line.
struct ActivityLine {
  std::optional<JournalEntry> change;  // a change, or
  std::vector<JournalEntry> reads;     // the requests that changed nothing, in order
};
std::vector<ActivityLine> activityLines(const std::vector<JournalEntry>& entries);

// "read 14 files, listed 6 folders, looked at 2 entries": what `reads` did, in one line.
std::string readsSummary(const std::vector<JournalEntry>& reads);

}  // namespace tamber
