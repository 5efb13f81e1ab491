#include "activity/change_details.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "activity/entry_check.h"
#include "base/failure.h"
#include "base/text.h"
#include "platform/fd_io.h"

namespace tamber {
namespace {

constexpr size_t kShownLimit = 32768;
constexpr size_t kDiffLines = 3000;

// The content of the file the change left at `path`, while it is exactly that.
std::string verifiedContent(const std::string& path, const FolderIdentity& identity,
                            const std::string& sha256, const std::string& subject,
                            const std::string& after, const JournalGrant& journalGrant) {
  const AgentGrant grant = reachableGrant(journalGrant);
  const ReachedEntry reached = reachEntry(path, journalGrant, grant);
  // A file too large to show is not read through to prove it: the page would hash it anew
  // each time it is opened.
  struct stat status {};
  if (::fstatat(reached.resolved.parent.get(), reached.resolved.leaf.c_str(), &status,
                AT_SYMLINK_NOFOLLOW) == 0 &&
      status.st_size > static_cast<off_t>(kShownLimit)) {
    throw Failure(subject + " holds more than " + groupedNumber(kShownLimit) + " bytes");
  }
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

ShownText shownText(std::string content) {
  ShownText shown;
  if (content.size() > kShownLimit) {
    shown.note = "More than " + groupedNumber(kShownLimit) + " bytes, too large to show.";
  } else if (content.find('\0') != std::string::npos || !isValidUtf8(content)) {
    shown.note = "Binary content, " + groupedNumber(content.size()) +
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
        details.diff = lineDiff(*before.text, *now.text, kDiffLines, details.diffTruncated);
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
