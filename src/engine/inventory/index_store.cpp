#include "engine/inventory/index_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <unordered_set>

#include "base/failure.h"

namespace tamber::engine {

namespace {

constexpr char kFileName[] = "larkspan-index.db";
// The index of earlier versions, replaced by the first run of this one.
constexpr char kFormerFileName[] = "larkspan-index.json";
// Marks the file as ours ("Lark") and says which layout it has.
constexpr int kApplicationId = 0x4c61726b;
// 2: names and the root as the file system has them (bytes), not made valid UTF-8.
// 3: a file's names share a link number, so that a file is listed once.
constexpr int kSchemaVersion = 3;
// Above this many kept files in a subtree, the largest are found by walking the size order
// instead of sorting the subtree's files.
constexpr uint64_t kSortAtMost = 2000;

constexpr char kSchema[] = R"(
CREATE TABLE scan (
  root BLOB NOT NULL, started_at INTEGER NOT NULL, finished_at INTEGER NOT NULL,
  duration_ms INTEGER NOT NULL, error TEXT NOT NULL, file_system TEXT NOT NULL,
  extent_maps INTEGER NOT NULL);
CREATE TABLE folder (
  id INTEGER PRIMARY KEY, parent INTEGER, name BLOB NOT NULL,
  last_descendant INTEGER NOT NULL, files INTEGER NOT NULL, folders INTEGER NOT NULL,
  logical_bytes INTEGER NOT NULL, allocated_bytes INTEGER NOT NULL,
  exclusive_bytes INTEGER NOT NULL, unreadable_folders INTEGER NOT NULL,
  other_file_systems INTEGER NOT NULL, unmapped_files INTEGER NOT NULL,
  here_files INTEGER NOT NULL, here_logical_bytes INTEGER NOT NULL,
  here_allocated_bytes INTEGER NOT NULL, here_exclusive_bytes INTEGER NOT NULL,
  kept_files INTEGER NOT NULL);
CREATE TABLE file (
  folder INTEGER NOT NULL, name BLOB NOT NULL, logical_bytes INTEGER NOT NULL,
  allocated_bytes INTEGER NOT NULL, link INTEGER NOT NULL);
)";

// Built once the rows are in: one sort each instead of an update per row.
constexpr char kLookups[] = R"(
CREATE INDEX folder_by_name ON folder (parent, name);
CREATE INDEX folder_by_size ON folder (parent, allocated_bytes DESC, name);
CREATE INDEX file_by_folder ON file (folder);
CREATE INDEX file_by_size ON file (allocated_bytes DESC, logical_bytes DESC);
)";

constexpr char kFolderColumns[] =
    "id, parent, name, last_descendant, files, folders, logical_bytes, allocated_bytes, "
    "exclusive_bytes, unreadable_folders, other_file_systems, unmapped_files, here_files, "
    "here_logical_bytes, here_allocated_bytes, here_exclusive_bytes, kept_files";
constexpr char kFileColumns[] = "folder, name, logical_bytes, allocated_bytes, link";
constexpr int kFolderColumnCount = 17;
constexpr int kFileColumnCount = 5;
// Rows written by one statement: SQLite runs its program once for them all, which takes about
// half the time of a statement per row.
constexpr size_t kRowsPerInsert = 32;

// "INSERT INTO table (columns) VALUES (?1, ...), (...), ...": `rows` rows of `count` values.
std::string insertSql(const char* table, const char* columns, int count, size_t rows) {
  std::string sql = std::string("INSERT INTO ") + table + " (" + columns + ") VALUES ";
  int number = 1;
  for (size_t row = 0; row < rows; ++row) {
    sql += row == 0 ? "(" : ", (";
    for (int column = 0; column < count; ++column) {
      sql += (column == 0 ? "?" : ", ?") + std::to_string(number++);
    }
    sql += ')';
  }
  return sql;
}

}  // namespace

namespace {

// A folder row's counts after its id, parent, name and last descendant, in the table's order:
// the usage of the whole subtree, then that of the folder's own entry and files.
constexpr std::array<uint64_t Usage::*, 8> kUsageColumns = {&Usage::files,
                                                            &Usage::folders,
                                                            &Usage::logicalBytes,
                                                            &Usage::allocatedBytes,
                                                            &Usage::exclusiveBytes,
                                                            &Usage::unreadableFolders,
                                                            &Usage::otherFileSystems,
                                                            &Usage::unmappedFiles};
constexpr std::array<uint64_t Usage::*, 4> kHereColumns = {
    &Usage::files, &Usage::logicalBytes, &Usage::allocatedBytes, &Usage::exclusiveBytes};

FolderRecord folderFrom(const Statement& row) {
  FolderRecord folder;
  folder.id = static_cast<uint32_t>(row.integer(0));
  if (!row.isNull(1)) {
    folder.parent = static_cast<uint32_t>(row.integer(1));
  }
  folder.name = row.text(2);
  folder.lastDescendant = static_cast<uint32_t>(row.integer(3));
  int column = 4;
  for (uint64_t Usage::*count : kUsageColumns) {
    folder.usage.*count = row.count(column++);
  }
  for (uint64_t Usage::*count : kHereColumns) {
    folder.here.*count = row.count(column++);
  }
  folder.keptFiles = row.count(column);
  return folder;
}

FileRecord fileFrom(const Statement& row) {
  return FileRecord{static_cast<uint32_t>(row.integer(0)), row.text(1), row.count(2), row.count(3),
                    row.count(4)};
}

}  // namespace

std::string indexFilePath(const std::string& dataDir) {
  return dataDir + "/" + kFileName;
}

IndexWriter::IndexWriter(const std::string& dataDir) : dataDir_(dataDir) {
  static std::atomic<unsigned> runs{0};
  temporaryPath_ = dataDir + "/." + kFileName + "." + std::to_string(::getpid()) + "." +
                   std::to_string(runs++) + ".tmp";
  // A file left by a run of ours that died mid-write has our name; start clean. The file is
  // made here, empty, so that it gets our mode; SQLite takes an empty file as a new database.
  ::unlink(temporaryPath_.c_str());
  file_.reset(
      ::open(temporaryPath_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file_) {
    throw Failure(errnoText(errno));
  }
  try {
    db_ = SqliteDb::open(temporaryPath_, SQLITE_OPEN_READWRITE);
    // Nobody reads this file before it is complete, and a run that dies leaves it to be
    // removed: no journal and no flushing until the end. The page cache stays small; SQLite
    // writes pages out as it goes.
    db_.execute(
        "PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF; PRAGMA cache_size = -4096;"
        "PRAGMA temp_store = FILE; BEGIN;");
    db_.execute(kSchema);
    db_.execute(("PRAGMA application_id = " + std::to_string(kApplicationId) +
                 "; PRAGMA user_version = " + std::to_string(kSchemaVersion) + ";")
                    .c_str());
    insertFolders_ = std::make_unique<Statement>(
        db_, insertSql("folder", kFolderColumns, kFolderColumnCount, kRowsPerInsert));
    insertFiles_ = std::make_unique<Statement>(
        db_, insertSql("file", kFileColumns, kFileColumnCount, kRowsPerInsert));
    updateExclusive_ = std::make_unique<Statement>(
        db_,
        "UPDATE folder SET exclusive_bytes = exclusive_bytes + ?2, "
        "here_exclusive_bytes = here_exclusive_bytes + ?3 WHERE id = ?1");
  } catch (...) {
    // The members close themselves; only the file's name is left to remove.
    ::unlink(temporaryPath_.c_str());
    throw;
  }
}

IndexWriter::~IndexWriter() {
  if (!committed_) {
    ::unlink(temporaryPath_.c_str());
  }
}

void IndexWriter::addFolder(const FolderRecord& folder) {
  folders_.push_back(folder);
  if (folders_.size() == kRowsPerInsert) {
    writeFolders(*insertFolders_);
  }
}

void IndexWriter::addFile(const FileRecord& file) {
  files_.push_back(file);
  if (files_.size() == kRowsPerInsert) {
    writeFiles(*insertFiles_);
  }
}

void IndexWriter::writeFolders(Statement& insert) {
  int column = 1;  // the statement's values count from 1, a read row's from 0
  for (const FolderRecord& folder : folders_) {
    insert.bind(column++, folder.id);
    if (folder.parent) {
      insert.bind(column++, *folder.parent);
    } else {
      insert.bindNull(column++);
    }
    insert.bindBlob(column++, folder.name);
    insert.bind(column++, folder.lastDescendant);
    for (uint64_t Usage::*count : kUsageColumns) {
      insert.bind(column++, folder.usage.*count);
    }
    for (uint64_t Usage::*count : kHereColumns) {
      insert.bind(column++, folder.here.*count);
    }
    insert.bind(column++, folder.keptFiles);
  }
  insert.run();
  folders_.clear();
}

void IndexWriter::writeFiles(Statement& insert) {
  int column = 1;
  for (const FileRecord& file : files_) {
    insert.bind(column++, file.folder);
    insert.bindBlob(column++, file.name);
    insert.bind(column++, file.logicalBytes);
    insert.bind(column++, file.allocatedBytes);
    insert.bind(column++, file.link);
  }
  insert.run();
  files_.clear();
}

void IndexWriter::addExclusive(uint32_t folder, int64_t bytes, int64_t hereBytes) {
  writeLastFolders();  // every folder is in place once exclusive figures come
  updateExclusive_->bind(1, folder).bind(2, bytes).bind(3, hereBytes).run();
}

void IndexWriter::writeLastFolders() {
  if (!folders_.empty()) {
    Statement rest(db_, insertSql("folder", kFolderColumns, kFolderColumnCount, folders_.size()));
    writeFolders(rest);
  }
}

void IndexWriter::commit(const ScanRecord& scan) {
  // The rows of the last, partial batches.
  writeLastFolders();
  if (!files_.empty()) {
    Statement rest(db_, insertSql("file", kFileColumns, kFileColumnCount, files_.size()));
    writeFiles(rest);
  }
  Statement(db_,
            "INSERT INTO scan (root, started_at, finished_at, duration_ms, error, file_system, "
            "extent_maps) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)")
      .bindBlob(1, scan.root)
      .bind(2, scan.startedAt)
      .bind(3, scan.finishedAt)
      .bind(4, scan.durationMs)
      .bind(5, scan.error)
      .bind(6, scan.fileSystem)
      .bind(7, int64_t{scan.extentMaps ? 1 : 0})
      .run();
  db_.execute(kLookups);
  db_.execute("COMMIT");
  insertFolders_.reset();
  insertFiles_.reset();
  updateExclusive_.reset();
  db_.close();
  // On disk before the rename, so that a crash leaves the old index or the whole new one.
  if (::fsync(file_.get()) != 0) {
    throw Failure(errnoText(errno));
  }
  const std::string finalPath = indexFilePath(dataDir_);
  if (::rename(temporaryPath_.c_str(), finalPath.c_str()) != 0) {
    throw Failure(errnoText(errno));
  }
  committed_ = true;
  ::unlink((dataDir_ + "/" + kFormerFileName).c_str());
}

std::unique_ptr<IndexReader> IndexReader::open(const std::string& dataDir) {
  const std::string path = indexFilePath(dataDir);
  {
    // Tell "none yet" from "cannot be read" (another user, a broken disk) before SQLite,
    // which says neither plainly.
    UniqueFd probe(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!probe) {
      if (errno == ENOENT) {
        return nullptr;
      }
      throw Failure(errnoText(errno));
    }
  }
  // The kept file is never changed in place (a run replaces it whole), so it is read as
  // immutable: no locks, no journal, nothing written beside it.
  std::unique_ptr<IndexReader> reader(new IndexReader(SqliteDb::open(
      sqliteFileUri(path) + "?immutable=1", SQLITE_OPEN_READONLY | SQLITE_OPEN_URI)));
  const SqliteDb& db = reader->db_;
  try {
    Statement application(db, "PRAGMA application_id");
    Statement version(db, "PRAGMA user_version");
    if (!application.step() || application.integer(0) != kApplicationId || !version.step() ||
        version.integer(0) != kSchemaVersion) {
      return nullptr;
    }
    Statement scan(db,
                   "SELECT root, started_at, finished_at, duration_ms, error, file_system, "
                   "extent_maps FROM scan");
    if (!scan.step()) {
      return nullptr;
    }
    ScanRecord& record = reader->scan_;
    record.root = scan.text(0);
    record.startedAt = scan.integer(1);
    record.finishedAt = scan.integer(2);
    record.durationMs = scan.integer(3);
    record.error = scan.text(4);
    record.fileSystem = scan.text(5);
    record.extentMaps = scan.integer(6) != 0;
  } catch (const Failure&) {
    return nullptr;  // not a database of ours at all
  }
  if (const std::optional<FolderRecord> root = reader->folder(0)) {
    reader->scan_.total = root->usage;
  }
  return reader;
}

std::optional<FolderRecord> IndexReader::folder(uint32_t id) {
  Statement query(db_, std::string("SELECT ") + kFolderColumns + " FROM folder WHERE id = ?1");
  query.bind(1, id);
  if (!query.step()) {
    return std::nullopt;
  }
  return folderFrom(query);
}

std::optional<FolderRecord> IndexReader::child(uint32_t parent, std::string_view name) {
  Statement query(db_, std::string("SELECT ") + kFolderColumns +
                           " FROM folder WHERE parent = ?1 AND name = ?2 ORDER BY id LIMIT 1");
  query.bind(1, parent).bindBlob(2, name);
  if (!query.step()) {
    return std::nullopt;
  }
  return folderFrom(query);
}

std::vector<FolderRecord> IndexReader::children(uint32_t folder, size_t limit) {
  Statement query(db_, std::string("SELECT ") + kFolderColumns +
                           " FROM folder WHERE parent = ?1 ORDER BY allocated_bytes DESC, name, "
                           "id LIMIT ?2");
  query.bind(1, folder).bind(2, static_cast<int64_t>(std::min<size_t>(limit, INT64_MAX)));
  std::vector<FolderRecord> result;
  while (query.step()) {
    result.push_back(folderFrom(query));
  }
  return result;
}

uint64_t IndexReader::childCount(uint32_t folder) {
  Statement query(db_, "SELECT count(*) FROM folder WHERE parent = ?1");
  query.bind(1, folder);
  return query.step() ? query.count(0) : 0;
}

std::vector<FileRecord> IndexReader::largestFiles(const FolderRecord& folder, size_t limit) {
  // A small subtree's files are few: sort them. A large one's largest files come early in
  // the size order: walk it and keep those of the subtree.
  const char* lookup = folder.keptFiles <= kSortAtMost ? "file_by_folder" : "file_by_size";
  // The names of one file are kept in different folders' records when each was among their
  // largest: they come one after the other in this order, and only the first is listed.
  Statement query(db_, std::string("SELECT ") + kFileColumns + " FROM file INDEXED BY " + lookup +
                           " WHERE folder BETWEEN ?1 AND ?2 AND allocated_bytes >= ?3 ORDER BY "
                           "allocated_bytes DESC, logical_bytes DESC, rowid");
  // A small folder lists only what the index keeps of it for certain: its large files.
  const uint64_t smallest = folder.usage.files > kLargestFilesListed ? 0 : kListedFileBytes;
  query.bind(1, folder.id).bind(2, folder.lastDescendant).bind(3, smallest);
  std::vector<FileRecord> result;
  std::unordered_set<uint64_t> links;
  while (result.size() < limit && query.step()) {
    FileRecord file = fileFrom(query);
    if (file.link == 0 || links.insert(file.link).second) {
      result.push_back(std::move(file));
    }
  }
  return result;
}

}  // namespace tamber::engine
