#include <fcntl.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <regex>

#include "actions/action_fixture.h"
#include "actions/replace_action.h"

namespace tamber {
namespace {

using namespace testing;

// root + "/.tamber-backup-" + an upper-case UUID.
bool isBackupPath(const std::string& path, const std::string& root) {
  return path.starts_with(root + "/.tamber-backup-") &&
         std::regex_match(
             path.substr(root.size() + 16),
             std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}"));
}

TEST(Replace, KeepsThePreviousFileAsABackupBesideTheTarget) {
  Workspace w;
  const std::string target = w.dir.write("granted/notes.txt", "old text");
  ::chmod(target.c_str(), 0644);
  const ino_t original = inodeOf(target);
  const std::string sha = w.run(ask("read", target))["sha256"];

  const Json reply =
      w.run(ask("replace", target, {{"text", "new text"}, {"expected_sha256", sha}}));
  const std::string backup = reply["backup_path"];
  EXPECT_TRUE(isBackupPath(backup, w.root)) << backup;
  EXPECT_EQ(reply["previous_sha256"], sha);
  EXPECT_TRUE(reply["replaced"] == true && reply["original_preserved"] == true) << reply;

  // The previous file itself, inode and mode, now lives under the backup name.
  EXPECT_EQ(inodeOf(backup), original);
  EXPECT_EQ(permissionsOf(backup), 0644u);
  EXPECT_EQ(w.run(ask("read", backup))["sha256"], sha);
  EXPECT_NE(inodeOf(target), original);
  EXPECT_EQ(permissionsOf(target) & ~0600, 0u);
  EXPECT_EQ(readFile(target), "new text");

  // Again, with the latest digest and a trailing slash: a second, distinct backup.
  const std::string latest = w.run(ask("read", target))["sha256"];
  const std::string second = w.run(ask(
      "replace", target + "/", {{"text", "third"}, {"expected_sha256", latest}}))["backup_path"];
  EXPECT_TRUE(isBackupPath(second, w.root) && second != backup) << second;
  EXPECT_EQ(readFile(second), "new text");
  EXPECT_EQ(readFile(target), "third");
}

// Another program renames its own file over the target between the agent's check and the
// exchange: the agent is told, and the proof still says what the exchange left (the agent's
// text under the path, the other program's file as the backup), so the change can be shown
// and undone.
TEST(Replace, ProvesWhatItLeftWhenAnotherWriterGotThereFirst) {
  Workspace w;
  const std::string target = w.dir.write("granted/notes.txt", "what the agent read");
  const std::string sha = w.run(ask("read", target))["sha256"];
  UniqueFd current(::open(target.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_EQ(::rename(w.dir.write("granted/theirs", "another program's").c_str(), target.c_str()),
            0);
  CheckedAction action;
  action.action = FileAction::replace;
  action.path.requested = target;
  action.text = "the agent's";
  action.expectedSha256 = sha;
  const ResolvedPath resolved{UniqueFd(::open(w.root.c_str(), O_RDONLY | O_DIRECTORY)),
                              "notes.txt"};
  const auto identity = [](const std::string& path) {
    struct stat status {};
    ::lstat(path.c_str(), &status);
    return identityOf(status);
  };
  ChangeProof proof;
  EXPECT_EQ(failureOf([&] {
              replaceContent(action, resolved, std::move(current),
                             WallClock::now() + std::chrono::seconds(10), &proof);
            }),
            "Concurrent replacement detected; inspect the retained backup before further edits");
  EXPECT_EQ(readFile(target), "the agent's");
  EXPECT_EQ(proof.entry, identity(target));
  EXPECT_EQ(readFile(proof.backupPath), "another program's");
  EXPECT_EQ(proof.backup, identity(proof.backupPath));
  EXPECT_EQ(proof.previousSha256, memoryDigest("another program's", 17));
}

TEST(Replace, RefusesWithoutProofOfTheCurrentContentAndChangesNothing) {
  Workspace w;
  const std::string target = w.dir.write("granted/f.txt", "v1");
  w.dir.write("granted/large", std::string(32769, 'x'));
  const std::string stale = w.run(ask("read", target))["sha256"];
  w.dir.write("granted/f.txt", "v2");
  const std::string current = w.run(ask("read", target))["sha256"];
  std::string upper = current;
  for (char& c : upper) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  const std::string needs = "Replacement needs text and the expected SHA-256 from a current read";
  const auto before = snapshot(w.root);

  auto replace = [&](const std::string& path, const Json& fields) {
    return w.refusal(ask("replace", path, fields));
  };
  EXPECT_EQ(replace(target, {{"text", "x"}, {"expected_sha256", stale}}),
            "Source changed; no replacement made");
  EXPECT_EQ(replace(target, {{"text", "x"}, {"expected_sha256", upper}}),
            "Source changed; no replacement made");
  EXPECT_EQ(replace(target, {{"expected_sha256", current}}), needs);
  EXPECT_EQ(replace(target, {{"text", "x"}, {"expected_sha256", nullptr}}), needs);
  EXPECT_EQ(replace(w / "missing", Json::object()), errorText(ENOENT));
  EXPECT_EQ(replace(w / "large", {{"text", "x"}, {"expected_sha256", current}}),
            "Replacement is limited to 32 KiB text files");
  EXPECT_EQ(replace(target, {{"text", std::string(32769, 'y')}, {"expected_sha256", current}}),
            "New text is limited to 32 KiB");
  EXPECT_EQ(snapshot(w.root), before);
}

}  // namespace
}  // namespace tamber
