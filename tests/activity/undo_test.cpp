// Undo of each kind of change against real files: what it does, every refusal (which must
// leave every file as it was), the Trash it uses, and the changes it never undoes.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <regex>
#include <thread>

#include "actions/action_fixture.h"
#include "activity/activity_fixture.h"
#include "activity/journal_writer.h"
#include "activity/undo.h"
#include "base/sqlite.h"
#include "base/text.h"
#include "platform/file_status.h"
#include "support/real_parts.h"
#include "support/waiting.h"

namespace tamber::testing {
namespace {

namespace fs = std::filesystem;

const std::string kWho = "the user, in a test";

// Every entry the test's folders hold, as snapshot() sees it, but the data directory's: the
// journal's own files change whenever it is read.
std::map<std::string, std::string> files(const ActivitySession& s) {
  std::map<std::string, std::string> found = snapshot(s.dir.path());
  std::erase_if(found, [&](const auto& entry) { return entry.first.starts_with(s.data); });
  return found;
}

// Makes one change through the broker and returns its id.
using Change = std::function<std::int64_t(ActivitySession&)>;

const Change kReplace = [](ActivitySession& s) {
  s.dir.write("work/notes.txt", "old\n");
  const Json read = s.ask("read", s / "notes.txt");
  // Named with a doubled slash, which the undo must read as the same folder.
  EXPECT_TRUE(s.ask("replace", s / "/notes.txt",
                    {{"text", "new\n"}, {"expected_sha256", read["sha256"]}})["ok"]);
  return s.last("replace");
};
const Change kWriteNew = [](ActivitySession& s) {
  EXPECT_TRUE(s.ask("write_new", s / "new.txt", {{"text", "fresh"}})["ok"]);
  return s.last("write_new");
};
// A name of 251 bytes ("x" and 125 two-byte letters): its info file's name would pass the 255
// bytes a name may have.
const std::string kLongName = [] {
  std::string name = "x";
  for (int i = 0; i < 125; ++i) {
    name += "\u00e9";
  }
  return name;
}();
const Change kWriteNewLong = [](ActivitySession& s) {
  EXPECT_TRUE(s.ask("write_new", s / kLongName, {{"text", "long"}})["ok"]);
  return s.last("write_new");
};
const Change kCopy = [](ActivitySession& s) {
  s.dir.write("work/notes.txt", "copied");
  EXPECT_TRUE(s.ask("copy", s / "notes.txt", {{"destination", s / "copy.txt"}})["ok"]);
  return s.last("copy");
};
const Change kMkdir = [](ActivitySession& s) {
  EXPECT_TRUE(s.ask("mkdir", s / "made")["ok"]);
  return s.last("mkdir");
};
const Change kMove = [](ActivitySession& s) {
  s.dir.write("work/a.txt", "moving");
  EXPECT_TRUE(s.ask("move", s / "a.txt", {{"destination", s / "b.txt"}})["ok"]);
  return s.last("move");
};

std::string backupOf(ActivitySession& s, std::int64_t id) {
  return s.journal()->entry(id)->proof.backupPath;
}

// The "[Trash Info]" file beside a trashed entry, checked as a file manager reads it.
void expectTrashInfo(const std::string& trash, const std::string& name, const std::string& path) {
  const std::string info = readFile(trash + "/info/" + name + ".trashinfo");
  const std::regex form(
      "\\[Trash "
      "Info\\]\nPath=([^\n]*)\nDeletionDate=(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d)\n");
  std::smatch parts;
  ASSERT_TRUE(std::regex_match(info, parts, form)) << info;
  EXPECT_EQ(parts[1].str(), percentEncoded(path));
  EXPECT_TRUE(exists(trash + "/files/" + name));
}

TEST(Undo, PutsEachKindOfChangeBackWithNothingLost) {
  struct Case {
    const char* name;
    const Change& change;
    std::function<void(ActivitySession&, std::int64_t)> check;
  };
  const std::vector<Case> cases = {
      {"replace", kReplace,
       [](ActivitySession& s, std::int64_t id) {
         EXPECT_EQ(readFile(s / "notes.txt"), "old\n");
         EXPECT_EQ(readFile(backupOf(s, id)), "new\n");  // the agent's version stays
       }},
      {"write_new", kWriteNew,
       [](ActivitySession& s, std::int64_t) {
         EXPECT_FALSE(exists(s / "new.txt"));
         // Another program's entry of the same name keeps its place; ours takes the next.
         EXPECT_EQ(readFile(s.trash.homeTrash + "/files/new.txt.2"), "fresh");
         expectTrashInfo(s.trash.homeTrash, "new.txt.2", s / "new.txt");
         EXPECT_EQ(readFile(s.trash.homeTrash + "/info/new.txt.trashinfo"), "taken");
       }},
      {"write_new of a long name", kWriteNewLong,
       [](ActivitySession& s, std::int64_t) {
         EXPECT_FALSE(exists(s / kLongName));
         const std::string trashed = kLongName.substr(0, 239);  // cut before a whole letter
         EXPECT_EQ(readFile(s.trash.homeTrash + "/files/" + trashed), "long");
         expectTrashInfo(s.trash.homeTrash, trashed, s / kLongName);
       }},
      {"copy", kCopy,
       [](ActivitySession& s, std::int64_t) {
         EXPECT_FALSE(exists(s / "copy.txt"));
         EXPECT_EQ(readFile(s / "notes.txt"), "copied");
         expectTrashInfo(s.trash.homeTrash, "copy.txt", s / "copy.txt");
       }},
      {"mkdir", kMkdir,
       [](ActivitySession& s, std::int64_t) {
         EXPECT_FALSE(exists(s / "made"));
         EXPECT_TRUE(std::filesystem::is_directory(s.trash.homeTrash + "/files/made"));
         expectTrashInfo(s.trash.homeTrash, "made", s / "made");
       }},
      {"move", kMove,
       [](ActivitySession& s, std::int64_t) {
         EXPECT_EQ(readFile(s / "a.txt"), "moving");
         EXPECT_FALSE(exists(s / "b.txt"));
       }},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    ActivitySession session;
    const std::int64_t id = test.change(session);
    if (std::string(test.name) == "write_new") {
      session.dir.mkdir("share/Trash/info");
      session.dir.write("share/Trash/info/new.txt.trashinfo", "taken");
    }
    std::unique_ptr<Journal> journal = session.journal();
    const UndoPreview preview = previewUndo(*journal, id, session.trash);
    EXPECT_TRUE(preview.possible) << preview.description;
    EXPECT_FALSE(failureOf([&] { undoChange(*journal, id, kWho, session.trash); }).size())
        << failureOf([&] { undoChange(*journal, id, kWho, session.trash); });
    test.check(session, id);
    // Recorded, and never twice.
    const JournalEntry undone = *journal->entry(id);
    EXPECT_TRUE(undone.undoneMs);
    EXPECT_EQ(undone.undoneBy, kWho);
    const auto before = files(session);
    EXPECT_EQ(failureOf([&] { undoChange(*journal, id, kWho, session.trash); }),
              "Change " + std::to_string(id) + " was already undone on " +
                  journalDateText(*undone.undoneMs) + " by " + kWho);
    EXPECT_EQ(files(session), before);
  }
}

TEST(Undo, RefusesWhateverChangedSinceAndLeavesEveryFileAsItWas) {
  struct Case {
    const char* name;
    const Change& change;
    std::function<void(ActivitySession&, std::int64_t)> tamper;
    std::function<std::string(ActivitySession&, std::int64_t)> refusal;
  };
  const auto fixed = [](std::string text) {
    return [text](ActivitySession&, std::int64_t) { return text + "; nothing was undone"; };
  };
  const auto write = [](const char* name, const char* text) {
    return
        [=](ActivitySession& s, std::int64_t) { s.dir.write(std::string("work/") + name, text); };
  };
  const auto link = [](const char* name) {
    return [=](ActivitySession& s, std::int64_t) {
      std::filesystem::remove(s / name);
      std::filesystem::create_symlink(s.dir.write("outside/secret", "secret"), s / name);
    };
  };
  const auto away = [](const char* name) {
    return [=](ActivitySession& s, std::int64_t) {
      std::filesystem::rename(s / name, s.outside + "/" + name);
    };
  };
  const auto replaceFolder = [](ActivitySession& s, std::int64_t) {
    std::filesystem::rename(s.work, s.dir / "work-before");
    s.dir.mkdir("work");
  };
  const auto folderReplaced = [](ActivitySession& s, std::int64_t) {
    return "The granted folder " + s.work +
           " was replaced or moved since the agent's change; nothing was undone";
  };
  const std::vector<Case> cases = {
      {"replace: content changed", kReplace, write("notes.txt", "edited by hand\n"),
       fixed("notes.txt was changed after the agent's edit")},
      {"replace: backup changed", kReplace,
       [](ActivitySession& s, std::int64_t id) {
         s.dir.write("work/" + fs::path(backupOf(s, id)).filename().string(), "x");
       },
       [](ActivitySession& s, std::int64_t id) {
         return "The backup " + fs::path(backupOf(s, id)).filename().string() +
                " of notes.txt was changed after the agent's edit; nothing was undone";
       }},
      {"replace: swapped for a link", kReplace, link("notes.txt"),
       fixed("notes.txt is now a symbolic link, not what the agent left")},
      {"replace: moved away", kReplace, away("notes.txt"), fixed("notes.txt is no longer there")},
      {"replace: folder replaced", kReplace, replaceFolder, folderReplaced},
      {"write_new: content changed", kWriteNew, write("new.txt", "other"),
       fixed("new.txt was changed after the agent wrote it")},
      {"write_new: swapped for a link", kWriteNew, link("new.txt"),
       fixed("new.txt is now a symbolic link, not what the agent left")},
      {"write_new: moved away", kWriteNew, away("new.txt"), fixed("new.txt is no longer there")},
      {"write_new: folder replaced", kWriteNew, replaceFolder, folderReplaced},
      {"copy: content changed", kCopy, write("copy.txt", "COPIED"),
       fixed("copy.txt was changed after the agent copied it")},
      {"mkdir: not empty", kMkdir, write("made/later.txt", "later"),
       fixed("The folder made is not empty: it holds later.txt. Undo the changes that put them "
             "there first")},
      {"mkdir: swapped for a link", kMkdir,
       [](ActivitySession& s, std::int64_t) {
         std::filesystem::remove(s / "made");
         std::filesystem::create_directory_symlink(s.outside, s / "made");
       },
       fixed("made is now a symbolic link, not what the agent left")},
      {"move: name taken", kMove, write("a.txt", "a newcomer"),
       fixed("The old name a.txt is taken")},
      {"move: content changed", kMove, write("b.txt", "moving on"),
       fixed("b.txt was changed after the agent moved it")},
      {"move: moved away", kMove, away("b.txt"), fixed("b.txt is no longer there")},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    ActivitySession session;
    const std::int64_t id = test.change(session);
    test.tamper(session, id);
    std::unique_ptr<Journal> journal = session.journal();
    const auto before = files(session);
    const std::string expected = test.refusal(session, id);
    EXPECT_EQ(previewUndo(*journal, id, session.trash).description, expected);
    EXPECT_EQ(failureOf([&] { undoChange(*journal, id, kWho, session.trash); }), expected);
    EXPECT_EQ(files(session), before);
    EXPECT_FALSE(journal->entry(id)->undoneMs);
  }
}

// Inode numbers are reused (ext4 soon gives a new folder a removed one's): a folder made
// later under the agent's folder's name and number is told apart by its birth time.
TEST(Undo, LeavesAFolderMadeLaterWithTheAgentsFoldersInodeNumber) {
  ActivitySession s;
  if (!birthTimeNs(AT_FDCWD, s.work.c_str())) {
    SKIP_WITHOUT_REAL_PART("the file system of " + s.work + " keeps no birth times");
  }
  const std::int64_t id = kMkdir(s);
  fs::remove(s / "made");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // past the clock's tick
  fs::create_directory(s / "made");
  SqliteDb::open(s.data + "/" + kJournalName, SQLITE_OPEN_READWRITE)
      .execute(("UPDATE entries SET inode = " + std::to_string(inodeOf(s / "made")) +
                " WHERE id = " + std::to_string(id))
                   .c_str());
  const auto before = files(s);
  std::unique_ptr<Journal> journal = s.journal();
  EXPECT_EQ(failureOf([&] { undoChange(*journal, id, kWho, s.trash); }),
            "made was replaced or moved after the agent made it; nothing was undone");
  EXPECT_EQ(files(s), before);
}

TEST(Undo, NeverActsOnReadsUnknownIdsElevatedChangesOrPathsThePolicyRefuses) {
  TempDir dir;
  const std::string data = dir.mkdir("data");
  const std::string work = dir.mkdir("work");
  GrantStore grants;
  const auto record = [&](bool elevated, const std::string& action, const std::string& path) {
    ActivityJournal writer(data);
    ActivityRecord entry;
    entry.grant = std::make_shared<const AgentGrant>(grants.add({work}, true, elevated, true));
    entry.at = WallClock::now();
    entry.action = action;
    entry.path = path;
    entry.proof = ChangeProof{};
    entry.proof->entry = {1, 2};
    entry.text = "text";
    writer.record(entry);
  };
  record(true, "write_new", work + "/root-made.txt");
  record(false, "read", work + "/a.txt");
  record(false, "write_new", work + "/.ssh/authorized_keys");
  std::unique_ptr<Journal> journal = Journal::open(data, true);
  ASSERT_TRUE(journal);
  const TrashPlaces trash{dir / "Trash", ::getuid()};
  const auto refusal = [&](std::int64_t id) {
    return failureOf([&] { undoChange(*journal, id, kWho, trash); });
  };
  EXPECT_EQ(refusal(1),
            "Change 1 was made with administrator rights; Tamber never undoes those "
            "(its paths: " +
                work + "/root-made.txt)");
  EXPECT_EQ(refusal(2), "Entry 2 is a read, not a change; there is nothing to undo");
  EXPECT_EQ(refusal(3),
            ".ssh/authorized_keys is out of reach (Credential and agent-private paths "
            "cannot be delegated); nothing was undone");
  EXPECT_EQ(refusal(4), "There is no change 4 in the activity journal");
  EXPECT_EQ(previewUndo(*journal, 1, trash).possible, false);
}

// A rename crosses no mount: an entry on another file system, or on a bind mount of the home
// Trash's own, goes to the Trash at the top of its mount.
TEST(Undo, UsesTheTopDirectoryTrashOfAnotherMount) {
  for (const bool bind : {false, true}) {
    SCOPED_TRACE(bind ? "a bind mount" : "a tmpfs");
    ActivitySession session;
    const std::string volume = session.dir.mkdir("volume");
    const TestMount mounted(volume, "", bind ? session.dir.mkdir("elsewhere") : "");
    if (!mounted.mounted()) {
      SKIP_WITHOUT_REAL_PART("mounting needs root");
    }
    const AgentGrant grant =
        session.grants.add({session.dir.mkdir("volume/work")}, true, false, true);
    session.grant = grant;
    EXPECT_TRUE(
        session.ask("write_new", volume + "/work//new file.txt", {{"text", "on a stick"}})["ok"]);
    std::unique_ptr<Journal> journal = session.journal();
    undoChange(*journal, session.last("write_new"), kWho, session.trash);
    const std::string trash = volume + "/.Trash-" + std::to_string(::getuid());
    EXPECT_EQ(readFile(trash + "/files/new file.txt"), "on a stick");
    // Relative to the mount, as the Trash keeps paths on removable volumes, and settled.
    expectTrashInfo(trash, "new file.txt", "work/new file.txt");
    EXPECT_EQ(permissionsOf(trash), 0700u);
  }
}

}  // namespace
}  // namespace tamber::testing
