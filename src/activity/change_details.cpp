#include "activity/change_details.h"

#include <dtl/dtl.hpp>

#include "activity/entry_check.h"
#include "base/failure.h"
#include "base/text.h"
#include "platform/fd_io.h"

namespace tamber {
namespace {

constexpr size_t kShownLimit = 32768;
constexpr size_t kDiffLines = 3000;

std::vector<std::string> lines(std::string_view text) {
  std::vector<std::string> found;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    if (end == std::string_view::npos) {
      found.emplace_back(text.substr(at));
      break;
    }
    found.emplace_back(text.substr(at, end - at));
    at = end + 1;
  }
  return found;
}

std::string grouped(std::uint64_t count) {
  const std::string digits = std::to_string(count);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) {
      out.push_back(',');
    }
    out.push_back(digits[i]);
  }
  return out;
}

// The content of the file the change left at `path`, while it is exactly that.
std::string verifiedContent(const std::string& path, const FolderIdentity& identity,
                            const std::string& sha256, const std::string& subject,
                            const std::string& after, const JournalGrant& journalGrant) {
  const AgentGrant grant = reachableGrant(journalGrant);
  const ReachedEntry reached = reachEntry(path, journalGrant, grant);
  const UniqueFd file = expectContent(reached.resolved.parent.get(), reached.resolved.leaf,
                                      identity, std::nullopt, sha256, subject, after);
  std::string content;
  if (::lseek(file.get(), 0, SEEK_SET) != 0) {
    throw Failure(subject + " cannot be read (" + errnoText(errno) + ")");
  }
  if (const int error = readToEnd(file.get(), content, kShownLimit + 1)) {
    throw Failure(subject + " cannot be read (" + errnoText(error) + ")");
  }
  return content;
}

}  // namespace

std::vector<DiffLine> unifiedDiff(std::string_view before, std::string_view after, size_t maxLines,
                                  bool& truncated) {
  truncated = false;
  dtl::Diff<std::string> diff(lines(before), lines(after));
  diff.compose();
  diff.composeUnifiedHunks();
  std::vector<DiffLine> out;
  const auto add = [&](char kind, std::string text) {
    if (out.size() >= maxLines) {
      truncated = true;
      return;
    }
    out.push_back(DiffLine{kind, std::move(text)});
  };
  for (const auto& hunk : diff.getUniHunks()) {
    add('@', "@@ -" + std::to_string(hunk.a) + "," + std::to_string(hunk.b) + " +" +
                 std::to_string(hunk.c) + "," + std::to_string(hunk.d) + " @@");
    for (const auto* part : {&hunk.common[0], &hunk.change, &hunk.common[1]}) {
      for (const auto& [text, info] : *part) {
        add(info.type == dtl::SES_ADD ? '+' : info.type == dtl::SES_DELETE ? '-' : ' ', text);
      }
    }
  }
  return out;
}

ShownText shownText(std::string content) {
  ShownText shown;
  if (content.size() > kShownLimit) {
    shown.note = "More than " + grouped(kShownLimit) + " bytes, too large to show.";
  } else if (content.find('\0') != std::string::npos || !isValidUtf8(content)) {
    shown.note = "Binary content, " + grouped(content.size()) +
                 (content.size() == 1 ? " byte" : " bytes") + ", not shown.";
  } else {
    shown.text = std::move(content);
  }
  return shown;
}

ChangeDetails changeDetails(const JournalEntry& entry, const JournalGrant& grant) {
  ChangeDetails details;
  const std::string after = afterTheAgent(entry.action);
  const std::string shown = pathInGrant(grant, entry.path);
  if (entry.action == "copy") {
    details.names = {{"Copied from", entry.path}, {"Copy", entry.destination}};
  } else if (entry.action == "move") {
    details.names = {{"Moved from", entry.path}, {"Moved to", entry.destination}};
  } else if (entry.action == "mkdir") {
    details.names = {{"New folder", entry.path}};
  } else if (entry.action == "write_new") {
    details.names = {{"New file", entry.path}};
  } else if (entry.action == "replace") {
    details.names = {{"Replaced", entry.path},
                     {"Previous version kept as", entry.proof.backupPath}};
  }
  if (entry.elevated) {
    details.notes.push_back(
        "Made with administrator rights: Tamber shows its paths only and never undoes it.");
    return details;
  }
  try {
    if (entry.action == "write_new") {
      if (entry.undoneMs) {
        details.notes.push_back("Undone: the file was moved to the Trash.");
      } else {
        details.created = shownText(verifiedContent(entry.path, entry.proof.entry,
                                                    entry.proof.sha256, shown, after, grant));
      }
    } else if (entry.action == "replace") {
      // Once undone, the two versions have traded names.
      const bool undone = entry.undoneMs.has_value();
      const std::string backupName = lastName(entry.proof.backupPath);
      const std::string previous = verifiedContent(
          undone ? entry.path : entry.proof.backupPath, entry.proof.backup,
          entry.proof.previousSha256, undone ? shown : "The backup " + backupName + " of " + shown,
          after, grant);
      const std::string agents = verifiedContent(
          undone ? entry.proof.backupPath : entry.path, entry.proof.entry, entry.proof.sha256,
          undone ? "The agent's version " + backupName : shown, after, grant);
      ShownText before = shownText(previous);
      ShownText now = shownText(agents);
      if (before.text && now.text) {
        details.diff = unifiedDiff(*before.text, *now.text, kDiffLines, details.diffTruncated);
        if (details.diff.empty()) {
          details.notes.push_back("The agent wrote the same text the file held before.");
        }
      } else {
        details.notes.push_back(before.text ? now.note : before.note);
      }
    }
  } catch (const Failure& failure) {
    details.notes.push_back(failure.description() + ", so its content is not shown.");
  }
  return details;
}

}  // namespace tamber
