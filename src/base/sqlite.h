#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/failure.h"

struct sqlite3;
struct sqlite3_stmt;

namespace tamber {

// Owns one SQLite connection: move-only, empty when default-made or moved from, closed when it
// goes. Statements still open when it closes are finalised by SQLite once they go too.
class SqliteDb {
 public:
  SqliteDb() = default;
  ~SqliteDb();
  SqliteDb(SqliteDb&& other) noexcept : db_(other.db_) { other.db_ = nullptr; }
  SqliteDb& operator=(SqliteDb&& other) noexcept;
  SqliteDb(const SqliteDb&) = delete;
  SqliteDb& operator=(const SqliteDb&) = delete;

  // Opens `name` (a path, or a "file:" URI with SQLITE_OPEN_URI) with sqlite3_open_v2's
  // `flags`. Throws Failure with SQLite's text.
  static SqliteDb open(const std::string& name, int flags);

  sqlite3* get() const { return db_; }
  explicit operator bool() const { return db_ != nullptr; }

  // Runs `sql`, one or more statements without results. Throws Failure with SQLite's text.
  void execute(const char* sql) const;

  // Closes the connection now, and throws Failure with SQLite's text when that fails (a
  // flush of the last writes, say). Every statement must be finalised first.
  void close();

 private:
  sqlite3* db_ = nullptr;
};

// SQLite's text for the last failure of `db` ("out of memory" without a connection).
Failure sqliteFailure(sqlite3* db);

// `path` as a SQLite "file:" URI, every byte that is not plainly safe percent-encoded, so that
// query parameters can follow it.
std::string sqliteFileUri(const std::string& path);

// One prepared statement of a connection that outlives it. Every member throws Failure with
// SQLite's text. One thread at a time.
class Statement {
 public:
  Statement(const SqliteDb& db, std::string_view sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(int index, int64_t value);
  Statement& bind(int index, uint64_t value) { return bind(index, static_cast<int64_t>(value)); }
  Statement& bind(int index, uint32_t value) { return bind(index, static_cast<int64_t>(value)); }
  Statement& bind(int index, int value) { return bind(index, static_cast<int64_t>(value)); }
  Statement& bind(int index, bool value) { return bind(index, int64_t{value ? 1 : 0}); }
  Statement& bind(int index, std::string_view text);
  Statement& bind(int index, const char* text) { return bind(index, std::string_view(text)); }
  // Binds bytes that need not be text (a name as the file system has it).
  Statement& bindBlob(int index, std::string_view bytes);
  Statement& bindNull(int index);

  // True while a row is there.
  bool step();
  // Steps to the end, then makes the statement ready for new values.
  void run();

  int64_t integer(int column) const;
  uint64_t count(int column) const { return static_cast<uint64_t>(integer(column)); }
  std::string text(int column) const;  // a text or blob column's bytes
  bool isNull(int column) const;

 private:
  sqlite3* db_;
  sqlite3_stmt* statement_ = nullptr;
};

}  // namespace tamber
