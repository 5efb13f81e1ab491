#include "base/sqlite.h"

#include <sqlite3.h>

#include "base/text.h"

namespace tamber {

SqliteDb::~SqliteDb() {
  sqlite3_close_v2(db_);
}

SqliteDb& SqliteDb::operator=(SqliteDb&& other) noexcept {
  if (this != &other) {
    sqlite3_close_v2(db_);
    db_ = other.db_;
    other.db_ = nullptr;
  }
  return *this;
}

SqliteDb SqliteDb::open(const std::string& name, int flags) {
  SqliteDb db;
  // A failed open still makes a connection (for its message), which `db` then closes.
  if (sqlite3_open_v2(name.c_str(), &db.db_, flags, nullptr) != SQLITE_OK) {
    throw sqliteFailure(db.db_);
  }
  return db;
}

void SqliteDb::execute(const char* sql) const {
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
    throw sqliteFailure(db_);
  }
}

void SqliteDb::close() {
  sqlite3* db = db_;
  db_ = nullptr;
  const int closed = sqlite3_close(db);
  if (closed != SQLITE_OK) {
    sqlite3_close_v2(db);  // still ours: let SQLite finish it once it can
    throw Failure(sqlite3_errstr(closed));
  }
}

Failure sqliteFailure(sqlite3* db) {
  return Failure(db != nullptr ? sqlite3_errmsg(db) : "out of memory");
}

std::string sqliteFileUri(const std::string& path) {
  return "file:" + percentEncoded(path);
}

Statement::Statement(const SqliteDb& db, std::string_view sql) : db_(db.get()) {
  if (sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &statement_, nullptr) !=
      SQLITE_OK) {
    throw sqliteFailure(db_);
  }
}

Statement::~Statement() {
  sqlite3_finalize(statement_);
}

Statement& Statement::bind(int index, int64_t value) {
  sqlite3_bind_int64(statement_, index, value);
  return *this;
}

Statement& Statement::bind(int index, std::string_view text) {
  sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                    SQLITE_TRANSIENT);
  return *this;
}

Statement& Statement::bindBlob(int index, std::string_view bytes) {
  sqlite3_bind_blob(statement_, index, bytes.data(), static_cast<int>(bytes.size()),
                    SQLITE_TRANSIENT);
  return *this;
}

Statement& Statement::bindNull(int index) {
  sqlite3_bind_null(statement_, index);
  return *this;
}

bool Statement::step() {
  const int result = sqlite3_step(statement_);
  if (result == SQLITE_ROW) {
    return true;
  }
  if (result != SQLITE_DONE) {
    throw sqliteFailure(db_);
  }
  return false;
}

void Statement::run() {
  while (step()) {
  }
  sqlite3_reset(statement_);
}

int64_t Statement::integer(int column) const {
  return sqlite3_column_int64(statement_, column);
}

std::string Statement::text(int column) const {
  // The pointer first, then the size: the order SQLite asks for.
  const void* bytes = sqlite3_column_blob(statement_, column);
  return bytes != nullptr
             ? std::string(static_cast<const char*>(bytes),
                           static_cast<size_t>(sqlite3_column_bytes(statement_, column)))
             : std::string();
}

bool Statement::isNull(int column) const {
  return sqlite3_column_type(statement_, column) == SQLITE_NULL;
}

}  // namespace tamber
