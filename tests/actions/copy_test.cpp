#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "actions/action_fixture.h"
#include "actions/digest.h"
#include "platform/rename.h"

namespace tamber {
namespace {

using namespace testing;
using namespace std::chrono_literals;

constexpr off_t kGiB = off_t{1} << 30;

// A file of `size` zero bytes that takes no space on disk.
std::string sparseFile(const std::string& path, off_t size) {
  UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  EXPECT_TRUE(file && ::ftruncate(file.get(), size) == 0);
  return path;
}

bool isDeadlineFailure(const std::string& failure) {
  return failure == "Operation time budget reached" || failure == "Copy time budget reached";
}

TEST(Copy, MakesAVerifiedOwnerOnlyCopy) {
  Workspace w;
  const std::string content("pay\0load", 8);
  const std::string source = w.dir.write("granted/source.bin", content);
  ::chmod(source.c_str(), 0644);
  w.dir.write("granted/empty", "");

  EXPECT_EQ(jsonData(w.run(ask("copy", source, {{"destination", w / "c"}}))),
            R"({"copied":true,"ok":true,"overwrite":false,"sha256":")" +
                memoryDigest(content.data(), 8) + R"(","source_preserved":true,"verified":true})");
  EXPECT_EQ(readFile(w / "c"), content);
  EXPECT_EQ(permissionsOf(w / "c") & ~0600, 0u);
  EXPECT_EQ(readFile(source), content);
  EXPECT_EQ(w.run(ask("copy", w / "empty", {{"destination", w / "e"}}))["sha256"],
            memoryDigest("", 0));
  EXPECT_EQ(readFile(w / "e"), "");

  sparseFile(w / "over", kGiB + 1);
  EXPECT_EQ(
      w.refusal(ask("copy", w / "over", {{"destination", w / "c1"}})),
      "One copy is limited to 1 GiB; use an approved large-file backup tool for larger files");
  EXPECT_FALSE(exists(w / "c1"));
}

// The copy is named only once verified: one stopped halfway leaves nothing, and nothing is
// removed by name, so whatever someone else puts under the name meanwhile is theirs and stays.
TEST(Copy, IsNeverSeenHalfMadeAndNeverTakesANameTakenMeanwhile) {
  Workspace w;
  sparseFile(w / "big", kGiB);  // exactly the limit
  AgentGrant expiring = w.grant;
  expiring.expires = WallClock::now() + 100ms;
  const std::string stopped = failureOf([&] {
    performFileAction(ask("copy", w / "big", {{"destination", w / "own"}}), expiring);
  });
  EXPECT_TRUE(isDeadlineFailure(stopped)) << stopped;
  EXPECT_FALSE(exists(w / "own"));

  // A client that went away; while the copy ran, its name was never there.
  int asked = 0;
  bool seen = false;
  EXPECT_EQ(failureOf([&] {
              performFileAction(ask("copy", w / "big", {{"destination", w / "gone"}}), w.grant,
                                [&] {
                                  seen = seen || exists(w / "gone");
                                  return ++asked < 20;
                                });
            }),
            kClientGone);
  EXPECT_FALSE(seen || exists(w / "gone"));

  // Someone puts their own file under the name while the copy runs.
  sparseFile(w / "middling", 32 << 20);
  const std::string taken = failureOf([&] {
    performFileAction(ask("copy", w / "middling", {{"destination", w / "copy"}}), w.grant, [&] {
      if (!exists(w / "copy")) {
        w.dir.write("granted/copy", "theirs");
      }
      return true;
    });
  });
  EXPECT_EQ(taken, errorText(EEXIST));
  EXPECT_EQ(readFile(w / "copy"), "theirs");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(w.root),
                          std::filesystem::directory_iterator()),
            3)
      << "big, middling and their copy: nothing else";
}

TEST(Copy, RefusesASourceThatChangesWhileCopied) {
  Workspace w;
  const std::string source = sparseFile(w / "growing", 32 << 20);
  bool appended = false;
  const std::string failure = failureOf([&] {
    performFileAction(ask("copy", source, {{"destination", w / "copy"}}), w.grant, [&] {
      if (!appended) {
        UniqueFd file(::open(source.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
        appended = ::write(file.get(), "tail", 4) == 4;
      }
      return true;
    });
  });

  ASSERT_TRUE(appended);
  EXPECT_TRUE(failure == "Copy verification failed; original preserved" ||
              failure == "Source changed during copy")
      << failure;
  EXPECT_FALSE(exists(w / "copy"));
  EXPECT_EQ(std::filesystem::file_size(source), (32u << 20) + 4);
}

TEST(Move, RenamesTheSameFileAndNeverCrossesVolumes) {
  Workspace w;
  w.dir.write("granted/a.txt", "a");
  w.dir.mkdir("granted/sub");
  const ino_t inode = inodeOf(w / "a.txt");
  EXPECT_EQ(w.run(ask("move", w / "a.txt", {{"destination", w / "sub/b.txt"}}))["moved"], true);
  EXPECT_FALSE(exists(w / "a.txt"));
  EXPECT_EQ(inodeOf(w / "sub/b.txt"), inode);

  // Another volume: /dev/shm is usually one, though never grantable; then the rename itself.
  struct stat here {};
  struct stat there {};
  std::string other = "/dev/shm/tamber-test-XXXXXX";
  if (::stat(w.root.c_str(), &here) != 0 || ::stat("/dev/shm", &there) != 0 ||
      here.st_dev == there.st_dev || ::mkdtemp(other.data()) == nullptr) {
    GTEST_SKIP() << "no second writable volume";
  }
  UniqueFd from(::open((w / "sub").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  UniqueFd to(::open(other.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  EXPECT_EQ(renameNoReplace(from.get(), "b.txt", to.get(), "b.txt"), EXDEV);
  EXPECT_FALSE(exists(other + "/b.txt"));
  std::filesystem::remove_all(other);
  EXPECT_EQ(readFile(w / "sub/b.txt"), "a");
}

}  // namespace
}  // namespace tamber
