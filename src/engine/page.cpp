#include "engine/page.h"

#include <cassert>
#include <cstdio>
#include <map>
#include <string_view>

#include "access/text.h"
#include "engine/inventory.h"
#include "engine/text_format.h"
#include "engine/web_assets.h"

namespace tamber::engine {

namespace {

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

std::string plural(uint64_t count, const char* one, const char* many) {
  return groupedNumber(count) + " " + (count == 1 ? one : many);
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
  const long permille = static_cast<long>(share * 1000.0 + 0.5);
  return "<td class=\"share\"><meter min=\"0\" max=\"1000\" value=\"" + std::to_string(permille) +
         "\"></meter><span class=\"percent\">" + percent + "</span></td>";
}

// What a row cannot show in its numbers: parts that were not measured.
std::string details(const Usage& usage, bool topLevelMount) {
  std::string text;
  if (topLevelMount) {
    text += "<span class=\"detail\">Another file system is mounted here; not counted.</span>";
  } else if (usage.otherFileSystems > 0) {
    text += "<span class=\"detail\">" + plural(usage.otherFileSystems, "folder", "folders") +
            " on other file systems not counted.</span>";
  }
  if (usage.unreadableFolders > 0) {
    text += "<span class=\"detail\">" + plural(usage.unreadableFolders, "folder", "folders") +
            " could not be read.</span>";
  }
  return text;
}

std::string entryRow(const InventoryEntry& entry, uint64_t totalAllocated) {
  std::string name = "<td class=\"name\">" + htmlEscaped(entry.name);
  if (entry.kind == EntryKind::folder) {
    name += "<span class=\"kind\">/</span>";
  } else if (entry.kind == EntryKind::link) {
    name += "<span class=\"kind\">link, not followed</span>";
  } else if (entry.kind == EntryKind::other) {
    name += "<span class=\"kind\">special file</span>";
  }
  const bool topLevelMount = entry.kind == EntryKind::folder && entry.usage.folders == 0 &&
                             entry.usage.otherFileSystems == 1;
  name += details(entry.usage, topLevelMount) + "</td>";
  return std::string("      <tr class=\"entry ") + kindName(entry.kind) + "\">" + name +
         sizeCell(entry.usage.allocatedBytes) +
         shareCell(entry.usage.allocatedBytes, totalAllocated) +
         sizeCell(entry.usage.logicalBytes) + "<td class=\"num\">" +
         groupedNumber(entry.usage.files) + "</td></tr>\n";
}

std::string totalRow(const IndexService::State& state) {
  std::string row = "      <tr class=\"entry total\"><td class=\"name\">Total";
  if (!state.inventory || !state.inventory->error.empty()) {
    const char* placeholder = state.inventory ? "unknown" : "counting…";
    return row + "</td><td class=\"num\">" + placeholder +
           "</td><td class=\"share\"></td><td class=\"num\">" + placeholder +
           "</td><td class=\"num\">" + placeholder + "</td></tr>\n";
  }
  const Usage& total = state.inventory->total;
  return row + details(total, false) + "</td>" + sizeCell(total.allocatedBytes) +
         "<td class=\"share\"></td>" + sizeCell(total.logicalBytes) + "<td class=\"num\">" +
         groupedNumber(total.files) + "</td></tr>\n";
}

// Fills the {{name}} fields of `page` in one pass, so nothing inserted is read as a field.
std::string fill(std::string_view page, const std::map<std::string_view, std::string>& fields) {
  std::string out;
  size_t at = 0;
  for (;;) {
    const size_t open = page.find("{{", at);
    if (open == std::string_view::npos) {
      break;
    }
    const size_t close = page.find("}}", open + 2);
    assert(close != std::string_view::npos);
    const auto field = fields.find(page.substr(open + 2, close - open - 2));
    assert(field != fields.end());
    out.append(page.substr(at, open - at));
    out += field->second;
    at = close + 2;
  }
  out.append(page.substr(at));
  return out;
}

}  // namespace

std::string indexedSummary(const IndexService::State& state) {
  const std::shared_ptr<const Inventory>& inventory = state.inventory;
  if (!inventory) {
    return "Indexing this folder for the first time…";
  }
  std::string text;
  if (!inventory->error.empty()) {
    text = "Could not read this folder: " + inventory->error + " (tried " +
           localTimeText(inventory->finishedAt) + ").";
  } else {
    const Usage& total = inventory->total;
    text = "Indexed " + plural(total.files, "file", "files") + " in " +
           plural(total.folders, "folder", "folders") + ", " + humanBytes(total.allocatedBytes) +
           " on disk, at " + localTimeText(inventory->finishedAt) + " (took " +
           durationText(inventory->durationMs) + ").";
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

std::string renderPage(const IndexService::State& state) {
  const std::optional<std::string_view> page = webAsset("page.html");
  assert(page.has_value());

  std::string rows = totalRow(state);
  if (state.inventory) {
    for (const InventoryEntry& entry : state.inventory->entries) {
      rows += entryRow(entry, state.inventory->total.allocatedBytes);
    }
  }
  const char* stateClass = "ready";
  if (state.indexing || !state.inventory) {
    stateClass = "indexing";
  } else if (!state.inventory->error.empty()) {
    stateClass = "failed";
  }
  return fill(*page, {
                         {"root", htmlEscaped(validUtf8(state.root))},
                         {"generation", std::to_string(state.generation)},
                         {"state", stateClass},
                         {"indexed", htmlEscaped(indexedSummary(state))},
                         {"scan-disabled", state.indexing ? "disabled" : ""},
                         {"rows", rows},
                     });
}

}  // namespace tamber::engine
