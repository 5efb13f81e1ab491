#include "activity/undo.h"

#include <dirent.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "activity/entry_check.h"
#include "base/failure.h"
#include "base/path.h"
#include "platform/file_status.h"
#include "platform/rename.h"

namespace tamber {
namespace {

constexpr const char* kNothingUndone = "; nothing was undone";

// An undo looked over and ready: what it acts on, what it will do, and the doing.
struct Plan {
  std::string file;
  std::string description;
  std::function<std::string()> perform;  // throws Failure (ending kNothingUndone) on refusal
};

[[noreturn]] void refuse(const std::string& sentence) {
  throw Failure(sentence + kNothingUndone);
}

// `path` without its last component (trailing slashes are no component).
std::string parentOf(std::string path) {
  while (path.size() > 1 && path.back() == '/') {
    path.pop_back();
  }
  return path.substr(0, path.rfind('/'));
}

// Runs `check`, turning its Failure into a refusal.
template <typename Check>
auto checked(Check check) {
  try {
    return check();
  } catch (const Failure& failure) {
    refuse(failure.description());
  }
}

// The change `id` and its grant, when it is one that may be undone.
std::pair<JournalEntry, JournalGrant> undoableChange(Journal& journal, std::int64_t id) {
  const std::string name = "Change " + std::to_string(id);
  const std::optional<JournalEntry> entry = journal.entry(id);
  if (!entry) {
    throw Failure("There is no change " + std::to_string(id) + " in the activity journal");
  }
  if (!isChangeAction(entry->action)) {
    throw Failure("Entry " + std::to_string(id) + " is a " + entry->action +
                  ", not a change; there is nothing to undo");
  }
  if (!entry->ok) {
    throw Failure(name + " was not carried out; there is nothing to undo");
  }
  if (entry->elevated) {
    throw Failure(
        name + " was made with administrator rights; Tamber never undoes those (its paths: " +
        entry->path + (entry->destination.empty() ? "" : ", " + entry->destination) + ")");
  }
  if (entry->undoneMs) {
    throw Failure(name + " was already undone on " + journalDateText(*entry->undoneMs) + " by " +
                  entry->undoneBy);
  }
  const std::optional<JournalGrant> grant = journal.grant(entry->grantId);
  if (!grant || entry->proof.entry == FolderIdentity{}) {
    throw Failure("The journal does not say what " + name +
                  " left on disk, so it cannot be undone safely");
  }
  return {*entry, *grant};
}

Plan planReplace(const JournalEntry& entry, const JournalGrant& journalGrant,
                 const AgentGrant& grant) {
  auto target = std::make_shared<ReachedEntry>(
      checked([&] { return reachEntry(entry.path, journalGrant, grant); }));
  const std::string& shown = target->shown;
  const std::string after = afterTheAgent(entry.action);
  const std::string backupName = lastName(entry.proof.backupPath);
  const std::string backupShown = "The backup " + backupName + " of " + shown;
  // The backup was made beside the file, through the same folder.
  const CheckedPath backupPath = checked([&] { return checkPath(entry.proof.backupPath, grant); });
  // Compared by name: "/a//b" and "/a/b" are one folder.
  if (absolutePath(parentOf(backupPath.path)) != absolutePath(parentOf(target->checked.path))) {
    refuse(backupShown + " is not beside it");
  }
  const int folder = target->resolved.parent.get();
  const std::string leaf = target->resolved.leaf;
  checked([&] {
    return expectContent(folder, leaf, entry.proof.entry, entry.proof.size, entry.proof.sha256,
                         shown, after);
  });
  checked([&] {
    return expectContent(folder, backupName, entry.proof.backup, std::nullopt,
                         entry.proof.previousSha256, backupShown, after);
  });
  Plan plan;
  plan.file = shown;
  plan.description = shown +
                     " gets back the content it had before the agent's edit. The agent's "
                     "version stays beside it as " +
                     backupName + ", so nothing is lost.";
  plan.perform = [target, entry, leaf, backupName] {
    const int folder = target->resolved.parent.get();
    const std::string& shown = target->shown;
    // One atomic exchange: the name never goes missing, and the agent's version keeps the
    // backup's name.
    if (const int error = renameExchange(folder, backupName.c_str(), folder, leaf.c_str())) {
      refuse(shown + " could not be swapped with its backup (" + errnoText(error) + ")");
    }
    struct stat now {};
    struct stat kept {};
    const bool exact = ::fstatat(folder, leaf.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
                       ::fstatat(folder, backupName.c_str(), &kept, AT_SYMLINK_NOFOLLOW) == 0 &&
                       identityOf(now) == entry.proof.backup &&
                       identityOf(kept) == entry.proof.entry;
    if (!exact) {
      if (const int error = renameExchange(folder, backupName.c_str(), folder, leaf.c_str())) {
        refuse(shown + " changed while it was being undone, and could not be swapped back (" +
               errnoText(error) + "): it and " + backupName + " hold each other's content");
      }
      refuse(shown + " changed while it was being undone");
    }
    return shown + " has its previous content again; the agent's version is kept beside it as " +
           backupName + ".";
  };
  return plan;
}

Plan planTrash(const JournalEntry& entry, const JournalGrant& journalGrant, const AgentGrant& grant,
               const TrashPlaces& trash) {
  const std::string& created = entry.action == "copy" ? entry.destination : entry.path;
  auto target = std::make_shared<ReachedEntry>(
      checked([&] { return reachEntry(created, journalGrant, grant); }));
  const std::string& shown = target->shown;
  const std::string after = afterTheAgent(entry.action);
  const int folder = target->resolved.parent.get();
  const std::string& leaf = target->resolved.leaf;
  Plan plan;
  plan.file = shown;
  if (entry.action == "mkdir") {
    checked([&] { return expectIdentity(folder, leaf, entry.proof.entry, shown, after); });
    // Only an empty folder goes: whatever is in it came later and is undone on its own.
    UniqueFd opened(
        ::openat(folder, leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (!opened || ::fstat(opened.get(), &status) != 0 || identityOf(status) != entry.proof.entry) {
      refuse(shown + " was replaced or moved after " + after);
    }
    // A folder made later can be given the agent's folder's inode number once that one is
    // gone; its birth time tells them apart. The proof holds the agent's folder's birth time,
    // or, from before it did, its modification time when made, the same instant.
    if (const std::optional<std::int64_t> born = birthTimeNs(opened.get(), "");
        born && entry.proof.modifiedNs != 0 && *born != entry.proof.modifiedNs) {
      refuse(shown + " was replaced or moved after " + after);
    }
    // The stream takes the descriptor over only when it is made.
    UniqueDir listing(::fdopendir(opened.get()));
    if (!listing) {
      refuse("The folder " + shown + " cannot be read (" + errnoText(errno) + ")");
    }
    opened.release();
    std::vector<std::string> inside;
    size_t count = 0;
    while (const dirent* item = ::readdir(listing.get())) {
      const std::string name = item->d_name;
      if (name == "." || name == "..") {
        continue;
      }
      if (++count <= 3) {
        inside.push_back(name);
      }
    }
    if (count > 0) {
      std::string list;
      for (size_t i = 0; i < inside.size(); ++i) {
        list +=
            (i == 0 ? "" : (i + 1 == inside.size() && count == inside.size() ? " and " : ", ")) +
            inside[i];
      }
      if (count > inside.size()) {
        list += " and " + std::to_string(count - inside.size()) + " more";
      }
      refuse("The folder " + shown + " is not empty: it holds " + list +
             ". Undo the changes that put them there first");
    }
    plan.description = "The empty folder " + shown +
                       ", which the agent made, moves to the Trash, where a file manager can "
                       "restore it.";
  } else {
    checked([&] {
      return expectContent(folder, leaf, entry.proof.entry, entry.proof.size, entry.proof.sha256,
                           shown, after);
    });
    plan.description = shown +
                       (entry.action == "copy" ? ", the agent's copy of " + lastName(entry.path)
                                               : ", which the agent wrote") +
                       ", moves to the Trash, where a file manager can restore it.";
  }
  plan.perform = [target, entry, trash] {
    const bool born = entry.action == "mkdir" && entry.proof.modifiedNs != 0;
    const std::string trashed =
        moveToTrash(target->resolved.parent.get(), target->resolved.leaf, target->checked.path,
                    entry.proof.entry, target->shown, trash,
                    born ? std::optional(entry.proof.modifiedNs) : std::nullopt);
    return target->shown + " was moved to the Trash (" + trashed + ").";
  };
  return plan;
}

Plan planMove(const JournalEntry& entry, const JournalGrant& journalGrant,
              const AgentGrant& grant) {
  auto from = std::make_shared<ReachedEntry>(
      checked([&] { return reachEntry(entry.path, journalGrant, grant); }));
  auto to = std::make_shared<ReachedEntry>(
      checked([&] { return reachEntry(entry.destination, journalGrant, grant); }));
  const std::string after = afterTheAgent(entry.action);
  const struct stat status = checked([&] {
    return expectIdentity(to->resolved.parent.get(), to->resolved.leaf, entry.proof.entry,
                          to->shown, after);
  });
  const std::int64_t modified =
      static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec;
  if (static_cast<std::uint64_t>(status.st_size) != entry.proof.size ||
      modified != entry.proof.modifiedNs) {
    refuse(to->shown + " was changed after " + after);
  }
  const auto taken = [from] {
    struct stat there {};
    return ::fstatat(from->resolved.parent.get(), from->resolved.leaf.c_str(), &there,
                     AT_SYMLINK_NOFOLLOW) == 0 ||
           errno != ENOENT;
  };
  if (taken()) {
    refuse("The old name " + from->shown + " is taken");
  }
  Plan plan;
  plan.file = to->shown;
  plan.description = to->shown + " moves back to its old name " + from->shown + ".";
  plan.perform = [from, to, entry] {
    const int error = renameNoReplace(to->resolved.parent.get(), to->resolved.leaf.c_str(),
                                      from->resolved.parent.get(), from->resolved.leaf.c_str());
    if (error == EEXIST) {
      refuse("The old name " + from->shown + " is taken");
    }
    if (error != 0) {
      refuse(to->shown + " could not be moved back (" + errnoText(error) + ")");
    }
    struct stat back {};
    if (::fstatat(from->resolved.parent.get(), from->resolved.leaf.c_str(), &back,
                  AT_SYMLINK_NOFOLLOW) != 0 ||
        identityOf(back) != entry.proof.entry) {
      if (const int error =
              renameNoReplace(from->resolved.parent.get(), from->resolved.leaf.c_str(),
                              to->resolved.parent.get(), to->resolved.leaf.c_str())) {
        refuse(to->shown + " changed while it was being undone, and could not be put back (" +
               errnoText(error) + "): what was there is now " + from->shown);
      }
      refuse(to->shown + " changed while it was being undone");
    }
    return to->shown + " is back at its old name " + from->shown + ".";
  };
  return plan;
}

Plan plan(const JournalEntry& entry, const JournalGrant& journalGrant, const TrashPlaces& trash) {
  const AgentGrant grant = reachableGrant(journalGrant);
  if (entry.action == "replace") {
    return planReplace(entry, journalGrant, grant);
  }
  if (entry.action == "move") {
    return planMove(entry, journalGrant, grant);
  }
  return planTrash(entry, journalGrant, grant, trash);
}

}  // namespace

UndoPreview previewUndo(Journal& journal, std::int64_t id, const TrashPlaces& trash) {
  UndoPreview preview;
  try {
    const auto [entry, grant] = undoableChange(journal, id);
    preview.file = pathInGrant(
        grant, entry.action == "copy" || entry.action == "move" ? entry.destination : entry.path);
    const Plan looked = plan(entry, grant, trash);
    preview.possible = true;
    preview.file = looked.file;
    preview.description = looked.description;
  } catch (const Failure& failure) {
    preview.description = failure.description();
  }
  return preview;
}

std::string undoChange(Journal& journal, std::int64_t id, const std::string& who,
                       const TrashPlaces& trash) {
  // The journal stays locked for writing from the first look to the record, so two undos of
  // the same change (from the window and the command line at once) cannot both act.
  journal.db().execute("BEGIN IMMEDIATE");
  std::string done;
  try {
    const auto [entry, grant] = undoableChange(journal, id);
    done = plan(entry, grant, trash).perform();
  } catch (...) {
    sqlite3_exec(journal.db().get(), "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
  try {
    journal.markUndone(id, journalMs(WallClock::now()), who);
    journal.db().execute("COMMIT");
  } catch (const Failure& failure) {
    sqlite3_exec(journal.db().get(), "ROLLBACK", nullptr, nullptr, nullptr);
    done += " The activity journal could not record it: " + failure.description() + ".";
  }
  return done;
}

}  // namespace tamber
