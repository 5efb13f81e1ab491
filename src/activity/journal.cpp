#include "activity/journal.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "base/failure.h"
#include "base/text.h"
#include "platform/fd_io.h"
#include "platform/rename.h"
#include "platform/unique_fd.h"

namespace tamber {
namespace {

// "Tamb": tells an activity journal from any other SQLite file put under its name.
constexpr int kApplicationId = 0x54616d62;

constexpr const char* kSchema = R"SQL(
CREATE TABLE grants (
  number INTEGER PRIMARY KEY,
  id TEXT NOT NULL UNIQUE,
  folders TEXT NOT NULL,
  identities TEXT NOT NULL,
  edit INTEGER NOT NULL,
  elevated INTEGER NOT NULL,
  started_at INTEGER NOT NULL,
  expires_at INTEGER NOT NULL,
  ended_at INTEGER
);
CREATE TABLE entries (
  id INTEGER PRIMARY KEY,
  grant_number INTEGER NOT NULL REFERENCES grants (number),
  at INTEGER NOT NULL,
  action TEXT NOT NULL,
  path TEXT NOT NULL,
  destination TEXT NOT NULL,
  ok INTEGER NOT NULL,
  device INTEGER NOT NULL DEFAULT 0,
  inode INTEGER NOT NULL DEFAULT 0,
  size INTEGER NOT NULL DEFAULT 0,
  sha256 TEXT NOT NULL DEFAULT '',
  modified_ns INTEGER NOT NULL DEFAULT 0,
  backup_path TEXT NOT NULL DEFAULT '',
  backup_device INTEGER NOT NULL DEFAULT 0,
  backup_inode INTEGER NOT NULL DEFAULT 0,
  previous_sha256 TEXT NOT NULL DEFAULT '',
  undone_at INTEGER,
  undone_by TEXT NOT NULL DEFAULT ''
);
CREATE INDEX entries_by_grant ON entries (grant_number, id);
)SQL";

constexpr const char* kGrantColumns =
    "id, folders, identities, edit, elevated, started_at, expires_at, ended_at";
constexpr const char* kEntryColumns =
    "entries.id, grants.id, at, action, path, destination, ok, device, inode, size, sha256, "
    "modified_ns, backup_path, backup_device, backup_inode, previous_sha256, undone_at, "
    "undone_by, grants.elevated";

std::string journalPath(const std::string& dataDir) {
  return dataDir + "/" + kJournalName;
}

JournalGrant grantFrom(const Statement& row) {
  JournalGrant grant;
  grant.id = row.text(0);
  const Json folders = Json::parse(row.text(1), nullptr, false);
  if (folders.is_array()) {
    for (const Json& folder : folders) {
      if (folder.is_string()) {
        grant.folders.push_back(folder.get<std::string>());
      }
    }
  }
  const Json identities = Json::parse(row.text(2), nullptr, false);
  if (identities.is_object()) {
    for (const auto& [root, pair] : identities.items()) {
      if (pair.is_array() && pair.size() == 2 && pair[0].is_number_unsigned() &&
          pair[1].is_number_unsigned()) {
        grant.identities[root] = {pair[0].get<std::uint64_t>(), pair[1].get<std::uint64_t>()};
      }
    }
  }
  grant.edit = row.integer(3) != 0;
  grant.elevated = row.integer(4) != 0;
  grant.startedMs = row.integer(5);
  grant.expiresMs = row.integer(6);
  if (!row.isNull(7)) {
    grant.endedMs = row.integer(7);
  }
  return grant;
}

JournalEntry entryFrom(const Statement& row) {
  JournalEntry entry;
  entry.id = row.integer(0);
  entry.grantId = row.text(1);
  entry.atMs = row.integer(2);
  entry.action = row.text(3);
  entry.path = row.text(4);
  entry.destination = row.text(5);
  entry.ok = row.integer(6) != 0;
  entry.proof.entry = {row.count(7), row.count(8)};
  entry.proof.size = row.count(9);
  entry.proof.sha256 = row.text(10);
  entry.proof.modifiedNs = row.integer(11);
  entry.proof.backupPath = row.text(12);
  entry.proof.backup = {row.count(13), row.count(14)};
  entry.proof.previousSha256 = row.text(15);
  if (!row.isNull(16)) {
    entry.undoneMs = row.integer(16);
  }
  entry.undoneBy = row.text(17);
  entry.elevated = row.integer(18) != 0;
  return entry;
}

// What is wrong with the file itself: only this moves a journal aside. Anything else (a
// lock held too long, a full disk) leaves it where it is.
class Unusable : public Failure {
 public:
  using Failure::Failure;
};

// Checks that `db` is an activity journal this version can read.
// True when SQLite failed because the file is no database or a damaged one; a busy journal,
// a full disk or too little memory pass, and must not set the history aside.
bool saysDamaged(const Failure& failure) {
  return failure.description() == sqlite3_errstr(SQLITE_NOTADB) ||
         failure.description() == sqlite3_errstr(SQLITE_CORRUPT);
}

void checkReadable(const SqliteDb& db) {
  std::int64_t application = 0;
  std::int64_t version = 0;
  std::int64_t tables = 0;
  try {
    Statement applicationQuery(db, "PRAGMA application_id");
    Statement versionQuery(db, "PRAGMA user_version");
    Statement tablesQuery(db, "SELECT count(*) FROM sqlite_master");
    applicationQuery.step();
    versionQuery.step();
    tablesQuery.step();
    application = applicationQuery.integer(0);
    version = versionQuery.integer(0);
    tables = tablesQuery.integer(0);
  } catch (const Failure& failure) {
    if (saysDamaged(failure)) {
      throw Unusable(failure.description());
    }
    throw;
  }
  if (version > kJournalSchemaVersion) {
    throw Unusable("it was written by a newer version of Tamber");
  }
  if (tables > 0 && application != kApplicationId) {
    throw Unusable("it is not an activity journal");
  }
}

std::string utcStamp(std::int64_t ms) {
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm parts{};
  ::gmtime_r(&seconds, &parts);
  char text[32];
  return std::string(text, std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts));
}

// Renames the journal and its companions out of the way under one new name; nothing is
// removed. Returns the new name of the journal itself.
std::string setAsideJournal(const std::string& dataDir) {
  const std::string stamp = utcStamp(journalMs(WallClock::now()));
  for (int attempt = 1;; ++attempt) {
    std::string name = "agent-activity-set-aside-" + stamp;
    if (attempt > 1) {
      name += "-" + std::to_string(attempt);
    }
    name += ".db";
    const int error = renameNoReplace(AT_FDCWD, journalPath(dataDir).c_str(), AT_FDCWD,
                                      (dataDir + "/" + name).c_str());
    if (error == EEXIST && attempt < 100) {
      continue;
    }
    if (error != 0) {
      throw Failure("the journal could not be set aside: " + errnoText(error));
    }
    for (const char* companion : {"-wal", "-shm"}) {
      const std::string from = journalPath(dataDir) + companion;
      if (::access(from.c_str(), F_OK) == 0) {
        renameNoReplace(AT_FDCWD, from.c_str(), AT_FDCWD,
                        (dataDir + "/" + name + companion).c_str());
      }
    }
    return name;
  }
}

// Opens (creating when missing) the journal file as it stands; throws what is wrong with it.
SqliteDb openAndPrepare(const std::string& dataDir) {
  const std::string path = journalPath(dataDir);
  // Made here, empty and 0600, so that SQLite (and its -wal and -shm files, which take the
  // database's mode) never widens it; a link at the name is refused, never followed.
  UniqueFd file(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  struct stat status {};
  if (!file) {
    throw Failure(errnoText(errno));
  }
  if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    throw Unusable("it is not a regular file");
  }
  if ((status.st_mode & 07777) != 0600) {
    ::fchmod(file.get(), 0600);
  }
  SqliteDb db = SqliteDb::open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW);
  sqlite3_busy_timeout(db.get(), 5000);
  checkReadable(db);
  bool intact = false;
  std::int64_t version = 0;
  try {
    Statement check(db, "PRAGMA quick_check");
    intact = check.step() && check.text(0) == "ok";
    Statement versionQuery(db, "PRAGMA user_version");
    versionQuery.step();
    version = versionQuery.integer(0);
  } catch (const Failure& failure) {
    if (saysDamaged(failure)) {
      throw Unusable(failure.description());
    }
    throw;
  }
  if (!intact) {
    throw Unusable("it is damaged");
  }
  db.execute("PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; PRAGMA foreign_keys = ON;");
  if (version == 0) {
    db.execute("BEGIN IMMEDIATE");
    try {
      db.execute(kSchema);
      db.execute(("PRAGMA application_id = " + std::to_string(kApplicationId) +
                  "; PRAGMA user_version = " + std::to_string(kJournalSchemaVersion) + ";")
                     .c_str());
      db.execute("COMMIT");
    } catch (...) {
      sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }
  return db;
}

}  // namespace

std::string JournalGrant::mode() const {
  return std::string(elevated ? "elevated " : "") + (edit ? "edit" : "view");
}

bool isChangeAction(std::string_view action) {
  return action == "write_new" || action == "mkdir" || action == "copy" || action == "move" ||
         action == "replace";
}

bool JournalEntry::isChange() const {
  return ok && isChangeAction(action);
}

std::unique_ptr<Journal> Journal::open(const std::string& dataDir, bool writable) {
  const std::string path = journalPath(dataDir);
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    if (errno == ENOENT) {
      return nullptr;
    }
    throw Failure(errnoText(errno));
  }
  SqliteDb db = SqliteDb::open(
      path, (writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_NOFOLLOW);
  sqlite3_busy_timeout(db.get(), 5000);
  checkReadable(db);
  {
    Statement version(db, "PRAGMA user_version");
    version.step();
    if (version.integer(0) == 0) {
      return nullptr;  // created by the broker a moment ago, tables not yet there
    }
  }
  return std::unique_ptr<Journal>(new Journal(std::move(db)));
}

std::vector<JournalGrant> Journal::grants(const std::optional<std::string>& grantId) {
  Statement query(db_, std::string("SELECT ") + kGrantColumns +
                           " FROM grants WHERE (?1 IS NULL OR id = ?1) AND EXISTS (SELECT 1 FROM "
                           "entries WHERE grant_number = grants.number) ORDER BY started_at DESC, "
                           "number DESC");
  if (grantId) {
    query.bind(1, *grantId);
  } else {
    query.bindNull(1);
  }
  std::vector<JournalGrant> found;
  while (query.step()) {
    found.push_back(grantFrom(query));
  }
  return found;
}

std::optional<JournalGrant> Journal::grant(const std::string& id) {
  Statement query(db_, std::string("SELECT ") + kGrantColumns + " FROM grants WHERE id = ?1");
  query.bind(1, id);
  if (!query.step()) {
    return std::nullopt;
  }
  return grantFrom(query);
}

std::vector<JournalEntry> Journal::entries(const std::string& grantId) {
  Statement query(db_, std::string("SELECT ") + kEntryColumns +
                           " FROM entries JOIN grants ON grants.number = grant_number WHERE "
                           "grants.id = ?1 ORDER BY entries.id");
  query.bind(1, grantId);
  std::vector<JournalEntry> found;
  while (query.step()) {
    found.push_back(entryFrom(query));
  }
  return found;
}

std::optional<JournalEntry> Journal::entry(std::int64_t id) {
  Statement query(db_, std::string("SELECT ") + kEntryColumns +
                           " FROM entries JOIN grants ON grants.number = grant_number WHERE "
                           "entries.id = ?1");
  query.bind(1, id);
  if (!query.step()) {
    return std::nullopt;
  }
  return entryFrom(query);
}

std::int64_t Journal::changesSince(std::int64_t sinceMs) {
  // Through the grants that lasted until then, so that no index on time costs the broker's
  // journal a write per record.
  Statement query(db_,
                  "SELECT count(*) FROM entries WHERE grant_number IN (SELECT number FROM grants "
                  "WHERE "
                  "coalesce(ended_at, expires_at) >= ?1) AND at >= ?1 AND ok = 1 AND action IN "
                  "('write_new', 'mkdir', 'copy', 'move', 'replace')");
  query.bind(1, sinceMs);
  query.step();
  return query.integer(0);
}

std::string Journal::signature() {
  Statement query(db_, "SELECT count(*), count(undone_at) FROM entries");
  query.step();
  return std::to_string(query.integer(0)) + ":" + std::to_string(query.integer(1));
}

bool Journal::markUndone(std::int64_t id, std::int64_t atMs, const std::string& who) {
  Statement update(db_,
                   "UPDATE entries SET undone_at = ?2, undone_by = ?3 WHERE id = ?1 AND "
                   "undone_at IS NULL");
  update.bind(1, id).bind(2, atMs).bind(3, who);
  update.run();
  return sqlite3_changes(db_.get()) == 1;
}

SqliteDb openJournalForWriting(const std::string& dataDir, std::string& setAside) {
  setAside.clear();
  try {
    return openAndPrepare(dataDir);
  } catch (const Unusable& failure) {
    // Only what is wrong with the file itself moves it aside; a data directory that cannot
    // be written or a lock held elsewhere is reported as it is.
    const std::string name = setAsideJournal(dataDir);
    setAside = "The activity journal could not be read (" + failure.description() +
               ") and was set aside as " + name + "; a new one was started.";
  }
  return openAndPrepare(dataDir);
}

void writeJournalStatus(const std::string& dataDir, const JournalStatus& status) noexcept {
  try {
    const std::string text = jsonData(Json{{"recording", status.recording},
                                           {"problem", validUtf8(status.problem)},
                                           {"set_aside", validUtf8(status.setAside)}});
    const std::string path = dataDir + "/" + kJournalStatusName;
    const std::string partial = path + ".partial";
    ::unlink(partial.c_str());
    UniqueFd file(
        ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file || writeAll(file.get(), text) != 0) {
      ::unlink(partial.c_str());
      return;
    }
    file.reset();
    if (::rename(partial.c_str(), path.c_str()) != 0) {
      ::unlink(partial.c_str());
    }
  } catch (...) {
    // The page then shows the last status that could be written.
  }
}

std::optional<JournalStatus> readJournalStatus(const std::string& dataDir) {
  std::string text;
  if (readWholeFile(dataDir + "/" + kJournalStatusName, text) != 0) {
    return std::nullopt;
  }
  const Json json = Json::parse(text, nullptr, false);
  const std::optional<bool> recording = boolMember(json, "recording");
  if (!recording) {
    return std::nullopt;
  }
  JournalStatus status;
  status.recording = *recording;
  status.problem = std::string(stringMember(json, "problem").value_or(""));
  status.setAside = std::string(stringMember(json, "set_aside").value_or(""));
  return status;
}

std::vector<std::string> journalNotices(const JournalStatus& status) {
  std::vector<std::string> notices;
  if (!status.recording) {
    notices.push_back("Activity is not being recorded: " + status.problem);
  } else if (!status.problem.empty()) {
    notices.push_back("Some agent activity was not recorded: " + status.problem);
  }
  if (!status.setAside.empty()) {
    notices.push_back(status.setAside);
  }
  return notices;
}

std::int64_t journalMs(WallClock::time_point time) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

std::int64_t localDayStartMs(std::int64_t nowMs) {
  const std::time_t seconds = static_cast<std::time_t>(nowMs / 1000);
  std::tm parts{};
  if (::localtime_r(&seconds, &parts) == nullptr) {
    return nowMs - nowMs % 86'400'000;
  }
  parts.tm_hour = 0;
  parts.tm_min = 0;
  parts.tm_sec = 0;
  parts.tm_isdst = -1;
  return static_cast<std::int64_t>(std::mktime(&parts)) * 1000;
}

namespace {

std::string localText(std::int64_t ms, const char* format) {
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm parts{};
  if (::localtime_r(&seconds, &parts) == nullptr) {
    return {};
  }
  char text[64];
  return std::string(text, std::strftime(text, sizeof text, format, &parts));
}

}  // namespace

std::string journalClockText(std::int64_t ms) {
  return localText(ms, "%H:%M:%S");
}

std::string journalDateText(std::int64_t ms) {
  return localText(ms, "%x %H:%M");
}

std::string pathInGrant(const JournalGrant& grant, const std::string& path) {
  std::string best;
  for (const std::string& root : grant.folders) {
    if (path.size() > root.size() && path.starts_with(root) && path[root.size()] == '/' &&
        root.size() > best.size()) {
      best = root;
    }
  }
  if (best.empty()) {
    return path;
  }
  std::string inside = path.substr(best.size());
  while (!inside.empty() && inside.front() == '/') {
    inside.erase(0, 1);
  }
  return inside.empty() ? path : inside;
}

std::string grantStateText(const JournalGrant& grant, std::int64_t nowMs) {
  if (grant.endedMs && *grant.endedMs < grant.expiresMs) {
    return "ended " + journalDateText(*grant.endedMs);
  }
  if (grant.expiresMs > nowMs) {
    const std::int64_t minutes = (grant.expiresMs - nowMs + 59'999) / 60'000;
    return "active, " + std::to_string(minutes) + " min left";
  }
  return "expired " + journalDateText(grant.expiresMs);
}

std::vector<ActivityLine> activityLines(const std::vector<JournalEntry>& entries) {
  std::vector<ActivityLine> lines;
  for (const JournalEntry& entry : entries) {
    if (entry.isChange()) {
      lines.push_back(ActivityLine{entry, {}});
    } else {
      if (lines.empty() || lines.back().change) {
        lines.emplace_back();
      }
      lines.back().reads.push_back(entry);
    }
  }
  return lines;
}

std::string readsSummary(const std::vector<JournalEntry>& reads) {
  struct Kind {
    const char* action;
    const char* verb;
    const char* one;
    const char* many;
  };
  static constexpr Kind kKinds[] = {
      {"read", "read", "file", "files"},
      {"list", "listed", "folder", "folders"},
      {"stat", "looked at", "entry", "entries"},
  };
  std::string text;
  const auto add = [&](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
  size_t refused = 0;
  for (const Kind& kind : kKinds) {
    size_t count = 0;
    for (const JournalEntry& entry : reads) {
      count += entry.ok && entry.action == kind.action ? 1 : 0;
    }
    if (count > 0) {
      add(std::string(kind.verb) + " " + std::to_string(count) + " " +
          (count == 1 ? kind.one : kind.many));
    }
  }
  for (const JournalEntry& entry : reads) {
    refused += entry.ok ? 0 : 1;
  }
  if (refused > 0) {
    add(std::to_string(refused) + (refused == 1 ? " elevated request" : " elevated requests") +
        " not carried out");
  }
  return text;
}

Json activityJson(Journal& journal, const std::optional<std::string>& grantId, std::int64_t nowMs) {
  const auto seconds = [](std::int64_t ms) { return static_cast<double>(ms) / 1000.0; };
  Json grants = Json::array();
  for (const JournalGrant& grant : journal.grants(grantId)) {
    Json entries = Json::array();
    std::int64_t reads = 0;
    std::int64_t changes = 0;
    for (const JournalEntry& entry : journal.entries(grant.id)) {
      (entry.isChange() ? changes : reads) += 1;
      entries.push_back(Json{
          {"id", entry.id},
          {"at", seconds(entry.atMs)},
          {"action", validUtf8(entry.action)},
          {"path", validUtf8(entry.path)},
          {"destination", validUtf8(entry.destination)},
          {"ok", entry.ok},
          {"change", entry.isChange()},
          {"elevated", entry.elevated},
          {"undone_at", entry.undoneMs ? Json(seconds(*entry.undoneMs)) : Json(nullptr)},
          {"undone_by", entry.undoneMs ? Json(entry.undoneBy) : Json(nullptr)},
      });
    }
    Json folders = Json::array();
    for (const std::string& folder : grant.folders) {
      folders.push_back(validUtf8(folder));
    }
    const std::string state = grantStateText(grant, nowMs);
    grants.push_back(Json{
        {"id", grant.id},
        {"folders", folders},
        {"mode", grant.mode()},
        {"started_at", seconds(grant.startedMs)},
        {"expires_at", seconds(grant.expiresMs)},
        {"ended_at", grant.endedMs ? Json(seconds(*grant.endedMs)) : Json(nullptr)},
        {"state", state.starts_with("active") ? "active" : "ended"},
        {"reads", reads},
        {"changes", changes},
        {"entries", entries},
    });
  }
  return Json{{"grants", grants}};
}

}  // namespace tamber
