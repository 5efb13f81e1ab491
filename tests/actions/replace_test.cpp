#include <sys/stat.h>

#include <cctype>
#include <cerrno>

#include "actions/action_fixture.h"

namespace tamber {
namespace {

using namespace testing;

// root + "/.tamber-backup-" + an upper-case UUID: 8-4-4-4-12 hexadecimal digits.
bool isBackupPath(const std::string& path, const std::string& root) {
  const std::string prefix = root + "/.tamber-backup-";
  if (!path.starts_with(prefix) || path.size() != prefix.size() + 36) {
    return false;
  }
  for (size_t i = 0; i < 36; ++i) {
    const char c = path[prefix.size() + i];
    const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen ? c != '-' : !(std::isdigit(c) || (c >= 'A' && c <= 'F'))) {
      return false;
    }
  }
  return true;
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
  EXPECT_EQ(jsonData(reply), R"({"backup_path":")" + backup +
                                 R"(","notice":"Original retained in the same selected folder. )"
                                 R"(Review before any retirement.","ok":true,)"
                                 R"("original_preserved":true,"previous_sha256":")" +
                                 sha + R"(","replaced":true})");

  // The previous file itself, inode and mode, now lives under the backup name.
  struct stat kept {};
  ::lstat(backup.c_str(), &kept);
  EXPECT_EQ(kept.st_ino, original);
  EXPECT_EQ(kept.st_mode & 07777, 0644u);
  EXPECT_EQ(w.run(ask("read", backup))["sha256"], sha);
  struct stat fresh {};
  ::lstat(target.c_str(), &fresh);
  EXPECT_NE(fresh.st_ino, original);
  EXPECT_EQ(fresh.st_mode & 07777 & ~0600, 0u);
  EXPECT_EQ(readFile(target), "new text");

  // Again, with the latest digest and a trailing slash: a second, distinct backup.
  const std::string latest = w.run(ask("read", target))["sha256"];
  const std::string second = w.run(ask(
      "replace", target + "/", {{"text", "third"}, {"expected_sha256", latest}}))["backup_path"];
  EXPECT_TRUE(isBackupPath(second, w.root) && second != backup) << second;
  EXPECT_EQ(readFile(second), "new text");
  EXPECT_EQ(readFile(target), "third");
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
