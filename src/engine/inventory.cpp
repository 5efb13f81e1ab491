#include "engine/inventory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "access/failure.h"
#include "platform/unique_fd.h"

namespace tamber::engine {

namespace {

constexpr int kFormat = 1;
constexpr char kFileName[] = "larkspan-index.json";
// An inventory of a home folder is a few hundred entries; anything far larger is not ours.
constexpr off_t kLargestFile = 64 * 1024 * 1024;

std::optional<EntryKind> kindFromName(const std::string& name) {
  for (EntryKind kind : {EntryKind::folder, EntryKind::file, EntryKind::link, EntryKind::other}) {
    if (name == kindName(kind)) {
      return kind;
    }
  }
  return std::nullopt;
}

void putUsage(Json& json, const Usage& usage) {
  json["files"] = usage.files;
  json["folders"] = usage.folders;
  json["logical_bytes"] = usage.logicalBytes;
  json["allocated_bytes"] = usage.allocatedBytes;
  json["unreadable_folders"] = usage.unreadableFolders;
  json["other_file_systems"] = usage.otherFileSystems;
}

Usage usageFromJson(const Json& json) {
  Usage usage;
  usage.files = json.at("files").get<uint64_t>();
  usage.folders = json.at("folders").get<uint64_t>();
  usage.logicalBytes = json.at("logical_bytes").get<uint64_t>();
  usage.allocatedBytes = json.at("allocated_bytes").get<uint64_t>();
  usage.unreadableFolders = json.at("unreadable_folders").get<uint64_t>();
  usage.otherFileSystems = json.at("other_file_systems").get<uint64_t>();
  return usage;
}

std::string utcText(int64_t seconds) {
  const time_t time = static_cast<time_t>(seconds);
  tm parts{};
  char text[32] = "";
  if (::gmtime_r(&time, &parts) != nullptr) {
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  }
  return text;
}

void writeAll(int fd, const std::string& bytes) {
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      throw errnoFailure();
    }
    written += static_cast<size_t>(n);
  }
}

}  // namespace

const char* kindName(EntryKind kind) {
  switch (kind) {
    case EntryKind::folder:
      return "folder";
    case EntryKind::file:
      return "file";
    case EntryKind::link:
      return "link";
    case EntryKind::other:
      break;
  }
  return "other";
}

void Usage::add(const Usage& other) {
  files += other.files;
  folders += other.folders;
  logicalBytes += other.logicalBytes;
  allocatedBytes += other.allocatedBytes;
  unreadableFolders += other.unreadableFolders;
  otherFileSystems += other.otherFileSystems;
}

void sortEntries(std::vector<InventoryEntry>& entries) {
  std::sort(entries.begin(), entries.end(), [](const InventoryEntry& a, const InventoryEntry& b) {
    if (a.usage.allocatedBytes != b.usage.allocatedBytes) {
      return a.usage.allocatedBytes > b.usage.allocatedBytes;
    }
    return a.name < b.name;
  });
}

Json inventoryJson(const Inventory& inventory) {
  Json json = Json::object();
  json["format"] = kFormat;
  json["root"] = inventory.root;
  json["started_at"] = inventory.startedAt;
  json["finished_at"] = inventory.finishedAt;
  json["finished_at_utc"] = utcText(inventory.finishedAt);
  json["duration_ms"] = inventory.durationMs;
  if (!inventory.error.empty()) {
    json["error"] = inventory.error;
  }
  Json total = Json::object();
  putUsage(total, inventory.total);
  json["total"] = total;
  Json entries = Json::array();
  for (const InventoryEntry& entry : inventory.entries) {
    Json item = Json::object();
    item["name"] = entry.name;
    item["kind"] = kindName(entry.kind);
    putUsage(item, entry.usage);
    entries.push_back(std::move(item));
  }
  json["entries"] = std::move(entries);
  return json;
}

std::optional<Inventory> inventoryFromJson(const Json& json) {
  try {
    if (!json.is_object() || json.at("format").get<int>() != kFormat) {
      return std::nullopt;
    }
    Inventory inventory;
    inventory.root = json.at("root").get<std::string>();
    inventory.startedAt = json.at("started_at").get<int64_t>();
    inventory.finishedAt = json.at("finished_at").get<int64_t>();
    inventory.durationMs = json.at("duration_ms").get<int64_t>();
    if (json.contains("error")) {
      inventory.error = json.at("error").get<std::string>();
    }
    inventory.total = usageFromJson(json.at("total"));
    for (const Json& item : json.at("entries")) {
      InventoryEntry entry;
      entry.name = item.at("name").get<std::string>();
      const std::optional<EntryKind> kind = kindFromName(item.at("kind").get<std::string>());
      if (!kind) {
        return std::nullopt;
      }
      entry.kind = *kind;
      entry.usage = usageFromJson(item);
      inventory.entries.push_back(std::move(entry));
    }
    sortEntries(inventory.entries);
    return inventory;
  } catch (const Json::exception&) {
    return std::nullopt;
  }
}

std::string inventoryFilePath(const std::string& dataDir) {
  return dataDir + "/" + kFileName;
}

std::optional<Inventory> loadInventory(const std::string& dataDir) {
  UniqueFd file(::open(inventoryFilePath(dataDir).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat status {};
  if (!file || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      status.st_size > kLargestFile) {
    return std::nullopt;
  }
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return std::nullopt;
    }
    if (n == 0) {
      break;
    }
    text.append(buffer, static_cast<size_t>(n));
    if (text.size() > static_cast<size_t>(kLargestFile)) {
      return std::nullopt;
    }
  }
  const Json json = Json::parse(text, nullptr, false);
  if (json.is_discarded()) {
    return std::nullopt;
  }
  return inventoryFromJson(json);
}

void saveInventory(const std::string& dataDir, const Inventory& inventory) {
  const std::string finalPath = inventoryFilePath(dataDir);
  const std::string temporaryPath =
      dataDir + "/." + kFileName + "." + std::to_string(::getpid()) + ".tmp";
  std::string bytes = jsonData(inventoryJson(inventory));
  bytes += '\n';

  // A file left by a run of ours that died mid-write has our name pattern; start clean.
  ::unlink(temporaryPath.c_str());
  UniqueFd file(
      ::open(temporaryPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file) {
    throw errnoFailure();
  }
  try {
    writeAll(file.get(), bytes);
    // Flush before the rename, so a crash leaves the old inventory or the whole new one.
    if (::fsync(file.get()) != 0) {
      throw errnoFailure();
    }
    if (::rename(temporaryPath.c_str(), finalPath.c_str()) != 0) {
      throw errnoFailure();
    }
  } catch (...) {
    ::unlink(temporaryPath.c_str());
    throw;
  }
}

}  // namespace tamber::engine
