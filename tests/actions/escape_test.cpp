#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>

#include "actions/action_fixture.h"

namespace tamber {
namespace {

using namespace testing;
using namespace std::chrono_literals;

TEST(Escape, SymbolicLinksAreNeverFollowed) {
  Workspace w;
  const std::string secret = w.dir.write("outside/secret.txt", "SECRET");
  w.dir.write("granted/own.txt", "mine");
  std::filesystem::create_symlink(secret, w / "file-link");
  std::filesystem::create_directory_symlink(w.outside, w / "dir-link");
  const auto outsideBefore = snapshot(w.outside);

  // As the last component: inspected as the link itself, never opened through.
  EXPECT_EQ(w.refusal(ask("read", w / "file-link")), errorText(ELOOP));
  EXPECT_EQ(w.refusal(ask("copy", w / "file-link", {{"destination", w / "c"}})), errorText(ELOOP));
  EXPECT_EQ(w.refusal(ask("list", w / "dir-link")), errorText(ENOTDIR));
  const Json linkStat = w.run(ask("stat", w / "dir-link"));
  EXPECT_EQ(linkStat["is_directory"], false);
  EXPECT_EQ(linkStat["file_bytes"], w.outside.size());

  // As an intermediate folder: every action fails in the walk, in either role.
  for (const char* action : {"read", "stat", "list", "write_new", "mkdir", "replace"}) {
    EXPECT_EQ(w.refusal(ask(action, w / "dir-link/secret.txt", {{"text", "x"}})),
              errorText(ENOTDIR))
        << action;
  }
  for (const char* action : {"copy", "move"}) {
    EXPECT_EQ(w.refusal(ask(action, w / "own.txt", {{"destination", w / "dir-link/dropped"}})),
              errorText(ENOTDIR))
        << action;
  }
  EXPECT_EQ(snapshot(w.outside), outsideBefore);
  EXPECT_EQ(readFile(w / "own.txt"), "mine");
}

TEST(Escape, TraversalPrefixAndNulTricksAreRefused) {
  Workspace w;
  w.dir.write("granted/f.txt", "inside");
  const std::string sibling = w.dir.mkdir("granted2");  // shares the root's name as a prefix
  w.dir.write("granted2/f.txt", "sibling");
  const std::string absolute = "Absolute, non-traversing path required";

  // A NUL would let the kernel see "f.txt" (or "x") where the checks saw a longer name.
  for (const std::string& path :
       {w / "../outside/x", w / "sub/../f.txt", w / "sub/..", w / "sub/../",
        std::string("granted/f"), std::string(""), w / "f.txt" + std::string(1, '\0') + "x"}) {
    EXPECT_EQ(w.refusal(ask("read", path)), absolute) << path;
  }
  EXPECT_EQ(w.refusal(ask("copy", w / "f.txt", {{"destination", w / std::string("x\0y", 3)}})),
            absolute);
  EXPECT_FALSE(exists(w / "x"));
  for (const std::string& path : {sibling, sibling + "/f.txt", w.dir.path()}) {
    EXPECT_EQ(w.refusal(ask("stat", path)), "Path is outside the selected grant folders") << path;
  }
  EXPECT_EQ(w.refusal(ask("mkdir", w / "a/.git")),
            "Credential and agent-private paths cannot be delegated");
  EXPECT_EQ(decodeBase64(w.run(ask("read", w / "./f.txt"))["data_base64"]), "inside");
  // Names that only begin or end with dots are names, not steps up.
  w.dir.write("granted/...", "three");
  w.dir.write("granted/..x.", "dots");
  EXPECT_EQ(decodeBase64(w.run(ask("read", w / "..."))["data_base64"]), "three");
  EXPECT_EQ(decodeBase64(w.run(ask("read", w / "..x."))["data_base64"]), "dots");
}

TEST(Escape, SecondNamesAndSpecialFilesAreRefusedWithoutBlocking) {
  Workspace w;
  const std::string secret = w.dir.write("outside/secret.txt", "SECRET");
  ASSERT_EQ(::link(secret.c_str(), (w / "hard").c_str()), 0);
  ASSERT_EQ(::mkfifo((w / "pipe").c_str(), 0600), 0);
  w.dir.mkdir("granted/folder");

  for (const char* name : {"hard", "pipe", "folder"}) {
    for (const char* action : {"read", "copy", "move", "replace"}) {
      const Json request = ask(action, w / name, {{"destination", w / "dest"}, {"text", "x"}});
      // A blocking open of the pipe would hang; a writer then releases it and the test fails.
      auto outcome = std::async(std::launch::async, [&] { return w.refusal(request); });
      if (outcome.wait_for(5s) != std::future_status::ready) {
        UniqueFd writer(::open((w / "pipe").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
        FAIL() << action << " of " << name << " blocked";
      }
      EXPECT_EQ(outcome.get(), "Only regular, single-link files may be opened or changed")
          << action << " of " << name;
    }
  }
  EXPECT_EQ(readFile(secret), "SECRET");
  EXPECT_FALSE(exists(w / "dest"));
}

TEST(Escape, ReplacedGrantFolderFailsTheIdentityCheck) {
  const std::string changed = "Selected folder identity changed; revoke and reselect it";
  {  // moved away and replaced by a new folder of the same name
    Workspace w;
    std::filesystem::rename(w.root, w.dir / "moved");
    std::filesystem::create_directory(w.root);
    for (const char* action : {"stat", "list", "write_new", "mkdir"}) {
      EXPECT_EQ(w.refusal(ask(action, w / "new", {{"text", ""}})), changed) << action;
    }
    EXPECT_FALSE(exists(w / "new"));
  }
  {  // deleted and re-created; the old folder stays open so its inode number cannot be reused
    Workspace w;
    UniqueFd old(::open(w.root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::filesystem::remove(w.root);
    std::filesystem::create_directory(w.root);
    EXPECT_EQ(w.refusal(ask("list", w.root)), changed);
  }
  {  // swapped for a link to the original: the root itself is opened without following
    Workspace w;
    std::filesystem::rename(w.root, w.dir / "moved");
    std::filesystem::create_directory_symlink(w.dir / "moved", w.root);
    EXPECT_EQ(w.refusal(ask("list", w.root)), errorText(ENOTDIR));
  }
}

TEST(Escape, NestedRootsResolveFromTheInnerRoot) {
  TempDir dir;
  const std::string outer = dir.mkdir("outer");
  const std::string inner = dir.mkdir("outer/inner");
  dir.write("outer/a.txt", "a");
  GrantStore store;
  const AgentGrant grant = store.add({outer, inner}, false, false, true);

  // Replace the inner folder: a walk from the outer root would find the new one and succeed.
  std::filesystem::rename(inner, dir / "old-inner");
  std::filesystem::create_directory(inner);
  dir.write("outer/inner/b.txt", "b");
  EXPECT_EQ(failureOf([&] { performFileAction(ask("read", inner + "/b.txt"), grant); }),
            "Selected folder identity changed; revoke and reselect it");
  EXPECT_EQ(performFileAction(ask("read", outer + "/a.txt"), grant).json()["bytes_read"], 1);
}

TEST(Preflight, RefusesInTheFixedOrderWithoutTouchingAnything) {
  Workspace w;
  const AgentGrant view = w.store.add({w.root}, false, false, true);
  AgentGrant expired = w.grant;
  expired.expires = WallClock::now() - 1s;
  auto preflight = [](const Json& request, const AgentGrant& grant) {
    return failureOf([&] { preflightFileAction(request, grant); });
  };
  const std::string unknown =
      "Unknown action; permanent deletion and arbitrary commands are not exposed";

  EXPECT_EQ(preflight({{"action", "delete"}}, expired), "Grant expired");
  EXPECT_EQ(preflight(ask("delete", w / "f"), w.grant), unknown);
  EXPECT_EQ(preflight(ask("Read", w / "f"), w.grant), unknown);
  EXPECT_EQ(preflight(Json::array({"read"}), w.grant), unknown);
  EXPECT_EQ(preflight(ask("write_new", "/etc/passwd"), view), "View-only grant cannot edit files");
  EXPECT_EQ(preflight(ask("copy", w / "f"), w.grant), "Absolute, non-traversing path required");
  EXPECT_EQ(preflight(ask("move", w / "f", {{"destination", w.outside}}), w.grant),
            "Path is outside the selected grant folders");
  EXPECT_EQ(preflight({{"action", "read"}, {"path", 42}}, view),
            "Absolute, non-traversing path required");
  EXPECT_EQ(preflight(ask("read", w / "f", {{"destination", "/etc/shadow"}}), view), "");
}

}  // namespace
}  // namespace tamber
