#include "engine/inventory/activity_page.h"

#include <cassert>
#include <charconv>
#include <map>
#include <memory>

#include "activity/change_details.h"
#include "activity/journal.h"
#include "activity/undo.h"
#include "base/failure.h"
#include "base/text.h"
#include "engine/inventory/text_format.h"
#include "engine/inventory/web_assets.h"

namespace tamber::engine {

namespace {

constexpr std::string_view kNothingUndone = "; nothing was undone";

// Text from the journal or a file, safe inside HTML: valid UTF-8, every special character a
// reference.
std::string text(std::string_view value) {
  return htmlEscaped(validUtf8(value));
}

std::string noticesHtml(const std::string& dataDir) {
  std::string html;
  if (const std::optional<JournalStatus> status = readJournalStatus(dataDir)) {
    for (const std::string& notice : journalNotices(*status)) {
      html += "  <p class=\"notice activity-notice\">" + text(notice) + "</p>\n";
    }
  }
  return html;
}

// The entry's paths as the list shows them: inside its granted folder, the whole path as the
// tooltip.
std::string pathsHtml(const JournalGrant& grant, const JournalEntry& entry) {
  std::string html = "<span class=\"path\" title=\"" + text(entry.path) + "\">" +
                     text(pathInGrant(grant, entry.path)) + "</span>";
  if (!entry.destination.empty()) {
    html += " <span class=\"arrow\">\u2192</span> <span class=\"path\" title=\"" +
            text(entry.destination) + "\">" + text(pathInGrant(grant, entry.destination)) +
            "</span>";
  }
  return html;
}

std::string changeLink(std::int64_t id) {
  return "/activity?change=" + std::to_string(id);
}

std::string grantSection(Journal& journal, const JournalGrant& grant, std::int64_t nowMs) {
  const std::vector<JournalEntry> entries = journal.entries(grant.id);
  size_t changes = 0;
  for (const JournalEntry& entry : entries) {
    changes += entry.isChange() ? 1 : 0;
  }
  const std::string state = grantStateText(grant, nowMs);
  std::string html = "  <section class=\"grant\" id=\"grant-" + text(grant.id) + "\">\n";
  html += "    <h3><span class=\"mode\">" + text(grant.mode()) + "</span> <span class=\"state" +
          (state.starts_with("active") ? " active" : "") + "\">" + text(state) + "</span></h3>\n";
  html += "    <ul class=\"folders\">\n";
  for (const std::string& folder : grant.folders) {
    html += "      <li>" + text(folder) + "</li>\n";
  }
  html += "    </ul>\n    <p class=\"when\">Started " + text(journalDateText(grant.startedMs)) +
          " \u00B7 " + plural(entries.size() - changes, "read", "reads") + ", " +
          plural(changes, "change", "changes") + "</p>\n    <ol class=\"lines\">\n";
  for (const ActivityLine& line : activityLines(entries)) {
    if (!line.change) {
      html += "      <li class=\"reads\"><details><summary>" + text(readsSummary(line.reads)) +
              "</summary><ol>";
      for (const JournalEntry& read : line.reads) {
        html += "<li><span class=\"time\">" + text(journalClockText(read.atMs)) +
                "</span> <span class=\"action\">" + text(read.action) + "</span> " +
                pathsHtml(grant, read) +
                (read.ok ? "" : " <span class=\"failed\">not carried out</span>") + "</li>";
      }
      html += "</ol></details></li>\n";
      continue;
    }
    const JournalEntry& change = *line.change;
    html += "      <li class=\"change " + text(change.action) + "\"><a href=\"" +
            changeLink(change.id) + "\"><span class=\"id\">#" + std::to_string(change.id) +
            "</span> <span class=\"time\">" + text(journalClockText(change.atMs)) +
            "</span> <span class=\"action\">" + text(change.action) + "</span> " +
            pathsHtml(grant, change) + "</a>";
    if (change.elevated) {
      html += " <span class=\"tag elevated\">administrator rights</span>";
    }
    if (change.undoneMs) {
      html += " <span class=\"tag undone\">undone</span>";
    }
    html += "</li>\n";
  }
  html += "    </ol>\n  </section>\n";
  return html;
}

std::string listHtml(Journal* journal, std::int64_t nowMs) {
  std::string html = "  <h2>Agent activity</h2>\n";
  const std::vector<JournalGrant> grants =
      journal ? journal->grants() : std::vector<JournalGrant>{};
  if (grants.empty()) {
    return html +
           "  <p class=\"empty\">No agent has used a grant yet. What agents read and "
           "change through Tamber shows here.</p>\n";
  }
  for (const JournalGrant& grant : grants) {
    html += grantSection(*journal, grant, nowMs);
  }
  return html;
}

std::string diffHtml(const ChangeDetails& details) {
  std::string html = "  <pre class=\"diff\">";
  for (const DiffLine& line : details.diff) {
    const char* kind = line.kind == '@'   ? "hunk"
                       : line.kind == '+' ? "added"
                       : line.kind == '-' ? "removed"
                                          : "kept";
    html += std::string("<span class=\"") + kind + "\">" +
            (line.kind == '@' ? "" : std::string(1, line.kind)) + text(line.text) + "</span>";
    if (!line.newline) {
      html += "<span class=\"hunk\">\\ No newline at end of file</span>";
    }
  }
  html += "</pre>\n";
  if (details.diffTruncated) {
    html +=
        "  <p class=\"note\">The diff is longer than the view shows; the rest is left out.</p>\n";
  }
  return html;
}

std::string undoHtml(Journal& journal, const JournalEntry& entry) {
  if (entry.elevated) {
    return "  <p class=\"undo-state elevated\">Made with administrator rights. Tamber shows "
           "what it touched and never undoes it.</p>\n";
  }
  if (entry.undoneMs) {
    return "  <p class=\"undo-state undone\">Undone on " + text(journalDateText(*entry.undoneMs)) +
           " by " + text(entry.undoneBy) + ".</p>\n";
  }
  // The page only looks: the desktop asks the person and undoes.
  const UndoPreview preview = previewUndo(journal, entry.id, TrashPlaces{});
  if (!preview.possible) {
    std::string reason = preview.description;
    if (reason.ends_with(kNothingUndone)) {
      reason.resize(reason.size() - kNothingUndone.size());
    }
    return "  <p class=\"undo-state blocked\">Cannot be undone now: " + text(reason) + ".</p>\n";
  }
  return "  <p class=\"undo-state\"><button type=\"button\" class=\"undo\" data-undo-change=\"" +
         std::to_string(entry.id) + "\">Undo</button> <span class=\"hint\">" +
         text(preview.description) + " Tamber asks before it changes anything.</span></p>\n";
}

std::string changeHtml(Journal& journal, const JournalEntry& entry) {
  const std::optional<JournalGrant> grant = journal.grant(entry.grantId);
  assert(grant.has_value());
  std::string html = "  <p class=\"back\"><a href=\"/activity\">All agent activity</a></p>\n";
  html += "  <h2>Change #" + std::to_string(entry.id) + ": " + text(entry.action) + " " +
          text(pathInGrant(*grant, entry.path)) + "</h2>\n";
  html += "  <p class=\"when\">" + text(journalDateText(entry.atMs)) + " \u00B7 " +
          text(grant->mode()) + " grant of " +
          text(grant->folders.empty() ? "" : grant->folders[0]) +
          (grant->folders.size() > 1
               ? " and " + plural(grant->folders.size() - 1, "more folder", "more folders")
               : "") +
          "</p>\n";
  const ChangeDetails details = changeDetails(entry, *grant);
  html += "  <dl class=\"names\">\n";
  for (const auto& [label, path] : details.names) {
    html += "    <dt>" + text(label) + "</dt><dd>" + text(path) + "</dd>\n";
  }
  html += "  </dl>\n";
  html += undoHtml(journal, entry);
  if (!details.diff.empty()) {
    html += diffHtml(details);
  }
  if (details.created) {
    if (details.created->text) {
      html += "  <pre class=\"created\">" + text(*details.created->text) + "</pre>\n";
    } else {
      html += "  <p class=\"note\">" + text(details.created->note) + "</p>\n";
    }
  }
  for (const std::string& note : details.notes) {
    html += "  <p class=\"note\">" + text(note) + "</p>\n";
  }
  return html;
}

}  // namespace

RenderedPage renderActivityPage(const std::string& dataDir, const std::string& change,
                                std::int64_t nowMs) {
  const std::optional<std::string_view> page = webAsset("activity.html");
  assert(page.has_value());
  RenderedPage rendered;
  std::string content;
  std::string signature;
  try {
    std::unique_ptr<Journal> journal = Journal::open(dataDir, /*writable=*/false);
    signature = journal ? journal->signature() : "0:0";
    if (change.empty()) {
      content = listHtml(journal.get(), nowMs);
    } else {
      std::int64_t id = 0;
      const auto [end, error] = std::from_chars(change.data(), change.data() + change.size(), id);
      const std::optional<JournalEntry> entry =
          journal && error == std::errc() && end == change.data() + change.size()
              ? journal->entry(id)
              : std::nullopt;
      if (!entry || !entry->isChange()) {
        rendered.status = 404;
        content = "  <p class=\"notice\">There is no change " + text(change) +
                  " in the activity journal. <a href=\"/activity\">Show all agent "
                  "activity</a></p>\n";
      } else {
        content = changeHtml(*journal, *entry);
      }
    }
  } catch (const Failure& failure) {
    rendered.status = 503;
    content = "  <p class=\"notice\">The activity journal cannot be read: " +
              text(failure.description()) + "</p>\n";
  }
  rendered.html = filledTemplate(
      *page,
      {{"signature", text(signature)}, {"notices", noticesHtml(dataDir)}, {"content", content}});
  return rendered;
}

std::string activityHeaderLink(const std::string& dataDir, std::int64_t nowMs) {
  std::int64_t today = 0;
  try {
    if (std::unique_ptr<Journal> journal = Journal::open(dataDir, false)) {
      today = journal->changesSince(localDayStartMs(nowMs));
    }
  } catch (const Failure&) {
    // The view itself says why the journal cannot be read.
  }
  std::string html = "<a id=\"activity-link\" class=\"activity-link\" href=\"/activity\">" +
                     (today == 0 ? std::string("No changes by agents today")
                                 : plural(static_cast<std::uint64_t>(today), "change", "changes") +
                                       " by agents today") +
                     "</a>";
  if (const std::optional<JournalStatus> status = readJournalStatus(dataDir)) {
    for (const std::string& notice : journalNotices(*status)) {
      html += "<span class=\"activity-warning\">" + text(notice) + "</span>";
    }
  }
  return html;
}

Json activityStatusJson(const std::string& dataDir, std::int64_t nowMs) {
  Json notices = Json::array();
  if (const std::optional<JournalStatus> status = readJournalStatus(dataDir)) {
    for (const std::string& notice : journalNotices(*status)) {
      notices.push_back(validUtf8(notice));
    }
  }
  std::unique_ptr<Journal> journal = Journal::open(dataDir, false);
  Json result =
      journal ? activityJson(*journal, std::nullopt, nowMs) : Json{{"grants", Json::array()}};
  result["signature"] = journal ? journal->signature() : "0:0";
  result["today_changes"] = journal ? journal->changesSince(localDayStartMs(nowMs)) : 0;
  result["notices"] = notices;
  return result;
}

}  // namespace tamber::engine
