// The activity journal as the broker writes it during a real agent session over the socket,
// and as it copes with a file it cannot use.
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "actions/digest.h"
#include "activity/activity_fixture.h"
#include "activity/change_details.h"
#include "activity/journal_writer.h"

namespace tamber::testing {
namespace {

struct stat statusOf(const std::string& path) {
  struct stat status {};
  ::lstat(path.c_str(), &status);
  return status;
}

TEST(Journal, HoldsEveryAnsweredRequestWithProofOfEachChangeAndNoToken) {
  ActivitySession session;
  session.dir.write("work/notes.txt", "one\ntwo\nthree\n");
  EXPECT_TRUE(session.ask("stat", session / "notes.txt")["ok"]);
  EXPECT_TRUE(session.ask("list", session.work)["ok"]);
  const Json read = session.ask("read", session / "notes.txt");
  EXPECT_TRUE(session.ask("write_new", session / "new.txt", {{"text", "fresh"}})["ok"]);
  EXPECT_TRUE(session.ask("mkdir", session / "made")["ok"]);
  EXPECT_TRUE(
      session.ask("copy", session / "notes.txt", {{"destination", session / "made/c.txt"}})["ok"]);
  EXPECT_TRUE(
      session.ask("move", session / "new.txt", {{"destination", session / "moved.txt"}})["ok"]);
  const Json replaced =
      session.ask("replace", session / "notes.txt",
                  {{"text", "one\n2\nthree\n"}, {"expected_sha256", read["sha256"]}});
  ASSERT_TRUE(replaced["ok"]) << replaced;
  // Refused or failed requests leave no trace, as in the audit log.
  EXPECT_FALSE(session.ask("read", session.outside)["ok"]);
  EXPECT_FALSE(session.ask("write_new", session / "moved.txt", {{"text", "again"}})["ok"]);
  EXPECT_FALSE(session.ask("delete", session / "moved.txt")["ok"]);
  Json wrongToken = {{"token", "not-a-token"}, {"action", "stat"}, {"path", session.work}};
  sendAgentRequest(session.server->socketPath(), jsonData(wrongToken));

  std::unique_ptr<Journal> journal = session.journal();
  ASSERT_TRUE(journal) << readFile(session.data + "/" + kJournalStatusName);
  const std::vector<JournalGrant> grants = journal->grants();
  ASSERT_EQ(grants.size(), 1u);
  EXPECT_EQ(grants[0].id, session.grant.id);
  EXPECT_EQ(grants[0].folders, std::vector<std::string>{session.work});
  EXPECT_EQ(grants[0].mode(), "edit");
  EXPECT_FALSE(grants[0].endedMs);

  std::vector<std::string> actions;
  std::map<std::string, JournalEntry> byAction;
  for (const JournalEntry& entry : journal->entries(session.grant.id)) {
    actions.push_back(entry.action);
    byAction[entry.action] = entry;
    EXPECT_TRUE(entry.ok);
  }
  EXPECT_EQ(actions, (std::vector<std::string>{"stat", "list", "read", "write_new", "mkdir", "copy",
                                               "move", "replace"}));

  // Each change's proof describes what the agent left.
  const auto identity = [](const std::string& path) { return identityOf(statusOf(path)); };
  const JournalEntry& write = byAction["write_new"];
  EXPECT_EQ(write.proof.entry, identity(session / "moved.txt"));  // it moved later, same inode
  EXPECT_EQ(write.proof.sha256, memoryDigest("fresh", 5));
  EXPECT_EQ(write.proof.size, 5u);
  EXPECT_EQ(byAction["mkdir"].proof.entry, identity(session / "made"));
  EXPECT_EQ(byAction["copy"].proof.entry, identity(session / "made/c.txt"));
  EXPECT_EQ(byAction["copy"].proof.sha256, memoryDigest("one\ntwo\nthree\n", 14));
  const JournalEntry& move = byAction["move"];
  EXPECT_EQ(move.proof.entry, identity(session / "moved.txt"));
  EXPECT_EQ(move.destination, session / "moved.txt");
  EXPECT_EQ(move.proof.modifiedNs, statusOf(session / "moved.txt").st_mtim.tv_sec * 1'000'000'000 +
                                       statusOf(session / "moved.txt").st_mtim.tv_nsec);
  const JournalEntry& replace = byAction["replace"];
  EXPECT_EQ(replace.proof.entry, identity(session / "notes.txt"));
  EXPECT_EQ(replace.proof.sha256, memoryDigest("one\n2\nthree\n", 12));
  EXPECT_EQ(replace.proof.backupPath, replaced["backup_path"]);
  EXPECT_EQ(replace.proof.backup, identity(replaced["backup_path"]));
  EXPECT_EQ(replace.proof.previousSha256, read["sha256"]);
  EXPECT_EQ(byAction["read"].proof.entry, FolderIdentity{});

  // The page's details: the replace as a diff, the created text.
  const ChangeDetails details = changeDetails(replace, grants[0]);
  std::string diff;
  for (const DiffLine& line : details.diff) {
    diff += (line.kind == '@' ? "" : std::string(1, line.kind)) + line.text + "\n";
  }
  EXPECT_EQ(diff, "@@ -1,3 +1,3 @@\n one\n-two\n+2\n three\n");
  // Text that is not UTF-8, holds NUL or is too long for the page is never shown.
  EXPECT_EQ(shownText(std::string("a\0b", 3)).note, "Binary content, 3 bytes, not shown.");
  EXPECT_EQ(shownText("\xff").note, "Binary content, 1 byte, not shown.");
  EXPECT_EQ(shownText(std::string(40000, 'x')).note, "More than 32,768 bytes, too large to show.");
  // The agent moved its new file afterwards: the file is not where the change left it.
  EXPECT_EQ(changeDetails(write, grants[0]).notes,
            std::vector<std::string>{"new.txt is no longer there, so its content is not shown."});
  // The replaced file grew past what the page shows: it is not hashed to find out more.
  session.dir.write("work/notes.txt", std::string(40000, 'x'));
  EXPECT_EQ(changeDetails(replace, grants[0]).notes,
            std::vector<std::string>{
                "notes.txt holds more than 32,768 bytes, so its content is not shown."});
  EXPECT_EQ(journal->changesSince(0), 5);

  // A revocation ends the grant in the journal.
  session.grants.revokeAll();
  EXPECT_TRUE(session.journal()->grant(session.grant.id)->endedMs);

  // The journal is the user's alone, and the token is in no file it wrote.
  EXPECT_EQ(statusOf(session.data + "/" + kJournalName).st_mode & 07777, 0600u);
  session.server->stop();
  for (const auto& file : std::filesystem::directory_iterator(session.data)) {
    if (file.path().filename().string().starts_with("agent-activity")) {
      EXPECT_EQ(readFile(file.path()).find(session.grant.token), std::string::npos) << file.path();
    }
  }
}

// An undo holds the journal while it checks what it will put back; the broker's records wait
// for it, longer than SQLite's busy timeout, and the live grant stays open.
TEST(Journal, WaitsOutAnotherWriterAndLosesNothing) {
  ActivitySession session;
  session.dir.write("work/a.txt", "a");
  EXPECT_TRUE(session.ask("stat", session / "a.txt")["ok"]);
  session.journal();
  {
    const SqliteDb other = SqliteDb::open(session.data + "/" + kJournalName, SQLITE_OPEN_READWRITE);
    other.execute("BEGIN IMMEDIATE");
    EXPECT_TRUE(session.ask("read", session / "a.txt")["ok"]);
    std::this_thread::sleep_for(std::chrono::milliseconds(6500));
    other.execute("COMMIT");
  }
  std::vector<std::string> actions;
  const std::unique_ptr<Journal> journal = session.journal();
  for (const JournalEntry& entry : journal->entries(session.grant.id)) {
    actions.push_back(entry.action);
  }
  EXPECT_EQ(actions, (std::vector<std::string>{"stat", "read"}));
  EXPECT_FALSE(journal->grants().at(0).endedMs);
  EXPECT_EQ(readJournalStatus(session.data)->problem, "");
}

TEST(Journal, SetsAsideWhatItCannotReadAndSaysSoWithoutChangingReplies) {
  for (const std::string kind : {"garbage", "newer schema", "another program's database"}) {
    SCOPED_TRACE(kind);
    TempDir dir;
    const std::string data = dir.mkdir("data");
    const std::string journalPath = data + "/" + kJournalName;
    if (kind == "garbage") {
      dir.write("data/agent-activity.db", std::string(4096, 'x'));
    } else {
      SqliteDb::open(journalPath, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)
          .execute(kind == "newer schema" ? "PRAGMA user_version = 99"
                                          : "CREATE TABLE t (x); PRAGMA user_version = 1");
    }
    const std::string before = readFile(journalPath);
    {
      ActivityJournal journal(data);
      journal.flush();
    }
    const std::optional<JournalStatus> status = readJournalStatus(data);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->recording) << status->problem;
    ASSERT_EQ(journalNotices(*status).size(), 1u);
    EXPECT_TRUE(journalNotices(*status)[0].starts_with("The activity journal could not be read ("))
        << journalNotices(*status)[0];
    // The old file stands aside, untouched, and a new journal took its place.
    bool kept = false;
    for (const auto& file : std::filesystem::directory_iterator(data)) {
      const std::string name = file.path().filename();
      if (name.starts_with("agent-activity-set-aside-") && name.ends_with(".db")) {
        kept = readFile(file.path()) == before;
      }
    }
    EXPECT_TRUE(kept);
    EXPECT_NO_THROW(Journal::open(data, false));
  }
}

}  // namespace
}  // namespace tamber::testing
