#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/sqlite.h"
#include "engine/inventory/index_records.h"
#include "platform/unique_fd.h"

namespace tamber::engine {

// The index of the data directory is one SQLite file, "larkspan-index.db". A run writes a
// new file beside it in one transaction and renames it over the kept one when complete, so
// a reader opens either the previous index or the new one, never a part of either.

// Where the index of `dataDir` is kept.
std::string indexFilePath(const std::string& dataDir);

// Writes one index run. Throws Failure (SQLite's or the system's text) from every
// member that touches the file. One thread.
class IndexWriter {
 public:
  // Starts the new file in `dataDir`, mode 0600.
  explicit IndexWriter(const std::string& dataDir);
  // Removes the new file unless commit() succeeded.
  ~IndexWriter();
  IndexWriter(const IndexWriter&) = delete;
  IndexWriter& operator=(const IndexWriter&) = delete;

  // Rows are written a batch at a time, the last batches by commit().
  void addFolder(const FolderRecord& folder);
  void addFile(const FileRecord& file);
  // Adds to a folder's exclusive figures (folder and its own files) once the walk is over:
  // every folder has been added.
  void addExclusive(uint32_t folder, int64_t bytes, int64_t hereBytes);
  // Records `scan`, makes the lookups fast, writes it all to disk and puts it in place.
  void commit(const ScanRecord& scan);

 private:
  std::string dataDir_;
  std::string temporaryPath_;
  UniqueFd file_;  // the new file, held so that it can be flushed before it is renamed
  SqliteDb db_;
  // Writes the rows kept and forgets them, with `insert`, made for as many rows.
  void writeFolders(Statement& insert);
  void writeFiles(Statement& insert);
  // Writes the folder rows of the last, partial batch, if any.
  void writeLastFolders();

  std::unique_ptr<Statement> insertFolders_;  // a full batch of rows each
  std::unique_ptr<Statement> insertFiles_;
  std::vector<FolderRecord> folders_;  // rows not yet written
  std::vector<FileRecord> files_;
  std::unique_ptr<Statement> updateExclusive_;
  bool committed_ = false;
};

// Reads the index kept in a data directory. Every member throws Failure when the file
// cannot be read. One thread per reader; readers on other threads are independent.
class IndexReader {
 public:
  // The index kept in `dataDir`; nullptr when there is none yet, or when it was written by
  // another version of the engine (the next run replaces it).
  static std::unique_ptr<IndexReader> open(const std::string& dataDir);
  IndexReader(const IndexReader&) = delete;
  IndexReader& operator=(const IndexReader&) = delete;

  const ScanRecord& scan() const { return scan_; }

  // The folder numbered `id`, or the child of `parent` whose name is the bytes `name`; nullopt
  // when there is none.
  std::optional<FolderRecord> folder(uint32_t id);
  std::optional<FolderRecord> child(uint32_t parent, std::string_view name);

  // The subfolders of `folder`, most space on disk first, then by name; at most `limit`.
  std::vector<FolderRecord> children(uint32_t folder, size_t limit);
  uint64_t childCount(uint32_t folder);

  // The largest files anywhere below `folder`, most space on disk first; at most `limit`
  // (see kLargestFilesListed).
  std::vector<FileRecord> largestFiles(const FolderRecord& folder, size_t limit);

 private:
  explicit IndexReader(SqliteDb db) : db_(std::move(db)) {}

  SqliteDb db_;
  ScanRecord scan_;
};

}  // namespace tamber::engine
