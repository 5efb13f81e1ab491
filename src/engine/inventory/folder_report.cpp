#include "engine/inventory/folder_report.h"

#include <ctime>
#include <limits>
#include <map>

#include "base/failure.h"
#include "base/path.h"
#include "base/text.h"
#include "base/time.h"
#include "engine/data_directory.h"

namespace tamber::engine {

namespace {

// `folder` as asked for, in text: as it is when it is UTF-8 (an address, or a plain name),
// else as its address.
std::string askedFor(const std::string& folder) {
  return isValidUtf8(folder) ? folder : addressOf(folder);
}

Failure unknownFolder(const std::string& folder, const std::string& root) {
  return Failure("There is no folder \"" + askedFor(folder) + "\" in the inventory of " +
                 addressOf(root) + ".");
}

// The bytes of the folder that `folder` names: UTF-8 text is an address; anything else (a name
// passed on as the file system has it) stands for itself. Nothing when it names no folder.
std::optional<std::string> folderBytes(const std::string& folder) {
  if (!isValidUtf8(folder)) {
    return folder;
  }
  return bytesOfAddress(folder);
}

}  // namespace

Json usageJson(const Usage& usage) {
  return Json{
      {"files", usage.files},
      {"folders", usage.folders},
      {"logical_bytes", usage.logicalBytes},
      {"allocated_bytes", usage.allocatedBytes},
      {"exclusive_bytes", usage.exclusiveBytes},
      {"shared_bytes", usage.allocatedBytes - std::min(usage.exclusiveBytes, usage.allocatedBytes)},
      {"unreadable_folders", usage.unreadableFolders},
      {"other_file_systems", usage.otherFileSystems},
      {"unmapped_files", usage.unmappedFiles},
  };
}

std::string joinedPath(const std::string& root, const std::vector<std::string>& names) {
  std::string path = root;
  for (const std::string& name : names) {
    if (path.empty() || path.back() != '/') {
      path += '/';
    }
    path += name;
  }
  return path;
}

FolderRecord findFolder(IndexReader& reader, const std::string& folder) {
  const std::string& root = reader.scan().root;
  std::optional<FolderRecord> found = reader.folder(0);
  if (!found) {
    throw Failure("The inventory of " + addressOf(root) + " holds no folders: " +
                  (reader.scan().error.empty() ? "it is empty" : reader.scan().error) + ".");
  }
  const std::optional<std::string> bytes = folderBytes(folder);
  if (!bytes) {
    throw unknownFolder(folder, root);
  }
  std::string inside = *bytes;
  if (!inside.empty() && inside[0] == '/') {
    const std::string normal = absolutePath(inside);
    if (normal == root) {
      inside.clear();
    } else if (normal.compare(0, root.size(), root) == 0 &&
               (root == "/" || normal[root.size()] == '/')) {
      inside = normal.substr(root.size());
    } else {
      throw unknownFolder(folder, root);
    }
  }
  for (const std::string_view name : pathComponents(inside)) {
    if (name == ".") {
      continue;
    }
    if (name == ".." || !(found = reader.child(found->id, name))) {
      throw unknownFolder(folder, root);
    }
  }
  return *found;
}

std::vector<std::string> folderNames(IndexReader& reader, const FolderRecord& folder) {
  std::vector<std::string> names;
  std::optional<FolderRecord> at = folder;
  while (at && at->parent) {
    names.push_back(at->name);
    at = reader.folder(*at->parent);
  }
  return {names.rbegin(), names.rend()};
}

Json folderJson(IndexReader& reader, const FolderRecord& folder, size_t childLimit,
                size_t innerLimit) {
  const ScanRecord& scan = reader.scan();
  Json report = Json::object();
  report["root"] = addressOf(scan.root);
  report["path"] = addressOf(joinedPath(scan.root, folderNames(reader, folder)));
  report["finished_at"] = scan.finishedAt;
  report["finished_at_utc"] = utcTimeText(scan.finishedAt);
  report["duration_ms"] = scan.durationMs;
  report["file_system"] = scan.fileSystem;
  report["extent_maps"] = scan.extentMaps;
  report["usage"] = usageJson(folder.usage);
  report["files_here"] = Json{
      {"files", folder.here.files},
      {"logical_bytes", folder.here.logicalBytes},
      {"allocated_bytes", folder.here.allocatedBytes},
      {"exclusive_bytes", folder.here.exclusiveBytes},
  };
  Json children = Json::array();
  for (const FolderRecord& child : reader.children(folder.id, childLimit)) {
    Json item = usageJson(child.usage);
    item["name"] = addressOf(child.name);
    if (children.size() < innerLimit && child.usage.folders > 0) {
      Json inner = Json::array();
      for (const FolderRecord& grandchild : reader.children(child.id, innerLimit)) {
        inner.push_back(Json{{"name", addressOf(grandchild.name)},
                             {"allocated_bytes", grandchild.usage.allocatedBytes}});
      }
      item["children"] = std::move(inner);
    }
    children.push_back(std::move(item));
  }
  report["children"] = std::move(children);
  report["child_count"] = reader.childCount(folder.id);

  // Each file's path from this folder, up through the folders between.
  std::map<uint32_t, std::string> relative{{folder.id, ""}};
  std::function<std::string(uint32_t)> pathOf = [&](uint32_t id) -> std::string {
    if (const auto known = relative.find(id); known != relative.end()) {
      return known->second;
    }
    const std::optional<FolderRecord> at = reader.folder(id);
    std::string path = at && at->parent ? pathOf(*at->parent) + at->name + "/" : std::string();
    relative[id] = path;
    return path;
  };
  Json files = Json::array();
  for (const FileRecord& file : reader.largestFiles(folder, kLargestFilesListed)) {
    files.push_back(Json{{"path", addressOf(pathOf(file.folder) + file.name)},
                         {"logical_bytes", file.logicalBytes},
                         {"allocated_bytes", file.allocatedBytes}});
  }
  report["largest_files"] = std::move(files);
  return report;
}

Json folderReport(const std::string& dataDir, const std::string& folder, size_t childLimit) {
  const std::unique_ptr<IndexReader> reader = IndexReader::open(dataDir);
  if (!reader) {
    throw Failure("There is no inventory in " + addressOf(dataDir) +
                  " yet; open the Tamber app and let it finish its first scan.");
  }
  const ScanRecord& scan = reader->scan();
  const std::optional<std::string> bytes = folderBytes(folder);
  if (!scan.error.empty() && (folder.empty() || (bytes && absolutePath(*bytes) == scan.root))) {
    return Json{{"root", addressOf(scan.root)},   {"path", addressOf(scan.root)},
                {"finished_at", scan.finishedAt}, {"finished_at_utc", utcTimeText(scan.finishedAt)},
                {"duration_ms", scan.durationMs}, {"error", scan.error}};
  }
  return folderJson(*reader, findFolder(*reader, folder), childLimit);
}

}  // namespace tamber::engine
