#include "engine/inventory/page.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <map>
#include <memory>
#include <string_view>

#include "activity/journal.h"
#include "base/failure.h"
#include "base/text.h"
#include "base/time.h"
#include "engine/inventory/activity_page.h"
#include "engine/inventory/folder_report.h"
#include "engine/inventory/index_store.h"
#include "engine/inventory/text_format.h"
#include "engine/inventory/web_assets.h"

namespace tamber::engine {

namespace {

// Subfolder rows shown before "show all": more than a window holds, few enough that a
// folder of ten thousand paints within a tenth of a second.
constexpr size_t kChildrenShown = 100;

std::string durationText(int64_t milliseconds) {
  char text[48];
  if (milliseconds < 100) {
    return "under 0.1 s";
  }
  if (milliseconds < 60'000) {
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(milliseconds) / 1000.0);
  } else {
    const int64_t seconds = milliseconds / 1000;
    std::snprintf(text, sizeof text, "%lld min %lld s", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  }
  return text;
}

// A size cell: the readable size, with the exact byte count as its tooltip.
std::string sizeCell(uint64_t bytes) {
  return "<td class=\"num\" title=\"" + plural(bytes, "byte", "bytes") + "\">" + humanBytes(bytes) +
         "</td>";
}

std::string shareCell(uint64_t part, uint64_t whole) {
  const double share = whole == 0 ? 0.0 : static_cast<double>(part) / static_cast<double>(whole);
  char percent[16];
  if (part > 0 && share < 0.0005) {
    std::snprintf(percent, sizeof percent, "&lt;0.1 %%");
  } else {
    std::snprintf(percent, sizeof percent, "%.1f %%", share * 100.0);
  }
  // A bar drawn by the style sheet alone (one class per whole percent): the page allows no
  // inline style, and a row of plain boxes lays out far faster than a meter.
  const long whole100 = static_cast<long>(std::min(share, 1.0) * 100.0 + 0.5);
  return "<td class=\"share\"><span class=\"bar\"><span class=\"fill p" + std::to_string(whole100) +
         "\"></span></span><span class=\"percent\">" + percent + "</span></td>";
}

uint64_t sharedBytes(const Usage& usage) {
  return usage.allocatedBytes - std::min(usage.exclusiveBytes, usage.allocatedBytes);
}

// What a row cannot show in its numbers: space shared with others, parts not measured.
std::string details(const Usage& usage) {
  std::string text;
  auto line = [&](const std::string& sentence) {
    text += "<span class=\"detail\">" + sentence + "</span>";
  };
  if (const uint64_t shared = sharedBytes(usage); shared > 0) {
    text +=
        "<span class=\"detail shared\">" + humanBytes(shared) + " shared with other folders</span>";
  }
  if (usage.otherFileSystems > 0) {
    line(plural(usage.otherFileSystems, "folder", "folders") +
         " on other file systems not counted.");
  }
  if (usage.unreadableFolders > 0) {
    line(plural(usage.unreadableFolders, "folder", "folders") + " could not be read.");
  }
  if (usage.unmappedFiles > 0) {
    line(plural(usage.unmappedFiles, "file", "files") +
         " counted by blocks: their extent map could not be read.");
  }
  return text;
}

std::string joinedNames(const std::vector<std::string>& names) {
  std::string path;
  for (const std::string& name : names) {
    path += (path.empty() ? "" : "/") + name;
  }
  return path;
}

// The page of the folder at `relativePath` (as on disk), named by its address.
std::string folderLink(const std::string& relativePath) {
  return relativePath.empty() ? "/"
                              : "/?path=" + htmlEscaped(percentEncoded(addressOf(relativePath)));
}

std::string childRow(const FolderRecord& child, const std::string& link, uint64_t whole) {
  return "      <tr class=\"entry folder\"><td class=\"name\"><a href=\"" + link + "\">" +
         htmlEscaped(child.name) + "</a><span class=\"kind\">/</span>" + details(child.usage) +
         "</td>" + sizeCell(child.usage.allocatedBytes) +
         shareCell(child.usage.allocatedBytes, whole) + sizeCell(child.usage.logicalBytes) +
         "<td class=\"num\">" + groupedNumber(child.usage.files) + "</td></tr>\n";
}

std::string hereRow(const Usage& here, uint64_t whole) {
  return "      <tr class=\"entry files\"><td class=\"name\">Files directly in this folder</td>" +
         sizeCell(here.allocatedBytes) + shareCell(here.allocatedBytes, whole) +
         sizeCell(here.logicalBytes) + "<td class=\"num\">" + groupedNumber(here.files) +
         "</td></tr>\n";
}

std::string totalRow(const Usage* usage, const char* placeholder) {
  std::string row = "      <tr class=\"entry total\"><td class=\"name\">Total";
  if (usage == nullptr) {
    return row + "</td><td class=\"num\">" + placeholder +
           "</td><td class=\"share\"></td><td class=\"num\">" + placeholder +
           "</td><td class=\"num\">" + placeholder + "</td></tr>\n";
  }
  return row + details(*usage) + "</td>" + sizeCell(usage->allocatedBytes) +
         "<td class=\"share\"></td>" + sizeCell(usage->logicalBytes) + "<td class=\"num\">" +
         groupedNumber(usage->files) + "</td></tr>\n";
}

std::string entriesTable(const std::string& rows) {
  return "  <table class=\"entries\">\n    <thead>\n      <tr><th scope=\"col\" "
         "class=\"name\">Name</th><th scope=\"col\" class=\"num\">On disk</th><th scope=\"col\" "
         "class=\"share\">Share</th><th scope=\"col\" class=\"num\">Size</th><th scope=\"col\" "
         "class=\"num\">Files</th></tr>\n    </thead>\n    <tbody>\n" +
         rows + "    </tbody>\n  </table>\n";
}

std::string figuresText(const Usage& usage) {
  std::string text = "<strong>" + humanBytes(usage.allocatedBytes) + "</strong> on disk";
  if (const uint64_t shared = sharedBytes(usage); shared > 0) {
    text += ", of which <strong class=\"shared\">" + humanBytes(shared) +
            "</strong> shared with other folders";
  }
  text += ". " + humanBytes(usage.logicalBytes) + " in " + plural(usage.files, "file", "files") +
          " and " + plural(usage.folders, "folder", "folders") + ".";
  return text;
}

// The folder part of the page: figures, picture, rows and largest files.
std::string folderSection(IndexReader& reader, const FolderRecord& folder,
                          const std::vector<std::string>& names, bool allChildren) {
  const Usage& usage = folder.usage;
  std::string html = "  <section class=\"usage\">\n    <p class=\"figures\">" + figuresText(usage) +
                     "</p>\n  </section>\n";
  html +=
      "  <figure class=\"picture\"><canvas id=\"treemap\" role=\"img\" aria-label=\"What takes "
      "the space in this folder\"></canvas></figure>\n";

  const uint64_t childCount = reader.childCount(folder.id);
  const size_t limit = allChildren ? childCount : kChildrenShown;
  const std::vector<FolderRecord> children = reader.children(folder.id, limit);
  const std::string base = joinedNames(names);
  std::string rows = totalRow(&usage, "");
  // The folder's own entry alone (no files in it) is too small to deserve a row.
  bool herePlaced = folder.here.files == 0;
  for (const FolderRecord& child : children) {
    if (!herePlaced && folder.here.allocatedBytes >= child.usage.allocatedBytes) {
      rows += hereRow(folder.here, usage.allocatedBytes);
      herePlaced = true;
    }
    rows += childRow(child, folderLink(base.empty() ? child.name : base + "/" + child.name),
                     usage.allocatedBytes);
  }
  if (childCount > children.size()) {
    const uint64_t rest = childCount - children.size();
    const std::string all = base.empty() ? "/?all=1" : folderLink(base) + "&amp;all=1";
    rows += "      <tr class=\"more\"><td class=\"name\" colspan=\"5\">" +
            plural(rest, "smaller folder", "smaller folders") + " not listed. <a href=\"" + all +
            "\">Show all " + groupedNumber(childCount) + "</a></td></tr>\n";
  }
  if (!herePlaced) {
    rows += hereRow(folder.here, usage.allocatedBytes);
  }
  html += entriesTable(rows);

  const std::vector<FileRecord> largest = reader.largestFiles(folder, kLargestFilesListed);
  if (!largest.empty()) {
    std::map<uint32_t, std::string> relative{{folder.id, ""}};
    auto pathOf = [&](uint32_t id, auto& self) -> std::string {
      if (const auto known = relative.find(id); known != relative.end()) {
        return known->second;
      }
      const std::optional<FolderRecord> at = reader.folder(id);
      std::string path = at && at->parent ? self(*at->parent, self) + at->name + "/" : "";
      relative[id] = path;
      return path;
    };
    html +=
        "  <h3>Largest files</h3>\n  <table class=\"largest\">\n    <thead>\n      <tr><th "
        "scope=\"col\" class=\"name\">File</th><th scope=\"col\" class=\"num\">On disk</th><th "
        "scope=\"col\" class=\"num\">Size</th></tr>\n    </thead>\n    <tbody>\n";
    for (const FileRecord& file : largest) {
      html += "      <tr class=\"file\"><td class=\"name\">" +
              htmlEscaped(pathOf(file.folder, pathOf) + file.name) + "</td>" +
              sizeCell(file.allocatedBytes) + sizeCell(file.logicalBytes) + "</tr>\n";
    }
    html += "    </tbody>\n  </table>\n";
  }
  return html;
}

std::string breadcrumb(const std::string& root, const std::vector<std::string>& names) {
  std::string html;
  std::string path;
  for (size_t i = 0; i <= names.size(); ++i) {
    const std::string label = i == 0 ? root : names[i - 1];
    if (i > 0) {
      path += (i > 1 ? "/" : "") + names[i - 1];
      html += "<span class=\"sep\">/</span>";
    }
    if (i == names.size()) {
      html += "<span class=\"here\" aria-current=\"page\">" + htmlEscaped(label) + "</span>";
    } else {
      html += "<a href=\"" + folderLink(path) + "\">" + htmlEscaped(label) + "</a>";
    }
  }
  return html;
}

std::string notice(const std::string& text) {
  return "  <p class=\"notice\">" + text + "</p>\n";
}

}  // namespace

std::string indexedSummary(const IndexService::State& state) {
  const std::shared_ptr<const ScanRecord>& scan = state.scan;
  if (!scan) {
    return "Indexing this folder for the first time…";
  }
  std::string text;
  if (!scan->error.empty()) {
    text = "Could not read this folder: " + scan->error + " (tried " +
           localTimeText(scan->finishedAt) + ").";
  } else {
    const Usage& total = scan->total;
    text = "Indexed " + plural(total.files, "file", "files") + " in " +
           plural(total.folders, "folder", "folders") + ", " + humanBytes(total.allocatedBytes) +
           " on disk, at " + localTimeText(scan->finishedAt) + " (took " +
           durationText(scan->durationMs) + ").";
    if (total.unreadableFolders > 0) {
      // Appended piece by piece: GCC 12 misreads `" " + std::string(...)` as an overlapping
      // copy (-Wrestrict) in optimised builds.
      text += ' ';
      text += plural(total.unreadableFolders, "folder", "folders");
      text += " could not be read.";
    }
  }
  if (state.indexing) {
    text += " Scanning again…";
  }
  return text;
}

std::string progressText(const IndexService::State& state) {
  if (!state.indexing) {
    return {};
  }
  return "Scanning: " + plural(state.entriesSeen, "entry", "entries") + " so far, " +
         durationText(state.indexingMs) + ".";
}

RenderedPage renderPage(const IndexService::State& state, const PageRequest& request) {
  const std::optional<std::string_view> page = webAsset("page.html");
  assert(page.has_value());

  RenderedPage rendered;
  std::string section;
  std::vector<std::string> names;
  std::string root = validUtf8(state.root);
  std::unique_ptr<IndexReader> reader;
  if (state.scan && state.scan->error.empty()) {
    try {
      reader = IndexReader::open(state.dataDir);
      if (reader && reader->scan().root != state.root) {
        reader.reset();  // replaced under us by an index of another folder
      }
    } catch (const Failure& failure) {
      section = notice("The inventory cannot be read: " + htmlEscaped(failure.description()));
    }
  }
  if (reader) {
    try {
      const FolderRecord folder = findFolder(*reader, request.path);
      names = folderNames(*reader, folder);
      section = folderSection(*reader, folder, names, request.allChildren);
    } catch (const Failure& failure) {
      rendered.status = 404;
      section = notice(htmlEscaped(failure.description()) + " <a href=\"/\">Show " +
                       htmlEscaped(root) + "</a>");
    }
  } else if (section.empty()) {
    // No complete index yet (or none of this folder): the total row waits for the first run.
    const char* placeholder = state.scan ? "unknown" : "counting…";
    section = entriesTable(totalRow(nullptr, placeholder));
  }

  const char* stateClass = "ready";
  if (state.indexing || !state.scan) {
    stateClass = "indexing";
  } else if (!state.scan->error.empty()) {
    stateClass = "failed";
  }
  std::string accounting;
  if (state.scan && state.scan->extentMaps) {
    accounting = "Space on disk comes from each file's extent map (" +
                 htmlEscaped(state.scan->fileSystem) +
                 "): every shared extent is counted once per folder, and hard links once.";
  } else if (state.scan) {
    accounting =
        "Space on disk comes from each file's blocks: hard links are counted once per folder.";
  }
  const std::string progress = progressText(state);
  const std::string activity = activityHeaderLink(state.dataDir, journalMs(WallClock::now()));
  rendered.html = filledTemplate(*page, {
                                            {"generation", std::to_string(state.generation)},
                                            {"path", htmlEscaped(addressOf(joinedNames(names)))},
                                            {"breadcrumb", breadcrumb(root, names)},
                                            {"state", stateClass},
                                            {"indexed", htmlEscaped(indexedSummary(state))},
                                            {"progress-hidden", progress.empty() ? " hidden" : ""},
                                            {"progress", htmlEscaped(progress)},
                                            {"scan-disabled", state.indexing ? "disabled" : ""},
                                            {"folder", section},
                                            {"accounting", accounting},
                                            {"activity", activity},
                                        });
  return rendered;
}

}  // namespace tamber::engine
