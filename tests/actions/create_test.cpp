#include <sys/stat.h>

#include <cerrno>
#include <vector>

#include "actions/action_fixture.h"
#include "support/loop_file_system.h"
#include "support/real_parts.h"

namespace tamber {
namespace {

using namespace testing;

// Every action that adds or moves a name, aimed at an existing file, folder or dangling link,
// fails and leaves the whole tree as it was, inode for inode.
TEST(NoOverwrite, CreatingAndMovingLeaveExistingNamesUntouched) {
  Workspace w;
  w.dir.write("granted/existing.txt", "keep me");
  w.dir.write("granted/source.txt", "source");
  w.dir.mkdir("granted/folder");
  std::filesystem::create_symlink(w / "nowhere.txt", w / "dangling");
  std::filesystem::create_symlink(w.dir / "outside/created.txt", w / "dangling-out");
  const auto before = snapshot(w.dir.path());

  for (const char* name : {"existing.txt", "folder", "dangling", "dangling-out"}) {
    for (const Json& request :
         {ask("write_new", w / name, {{"text", "new"}}), ask("mkdir", w / name),
          ask("copy", w / "source.txt", {{"destination", w / name}}),
          ask("move", w / "source.txt", {{"destination", w / name}})}) {
      EXPECT_EQ(w.refusal(request), errorText(EEXIST)) << request.dump();
    }
  }
  EXPECT_EQ(w.refusal(ask("write_new", w.root, {{"text", "new"}})), errorText(EEXIST));
  EXPECT_EQ(w.refusal(ask("mkdir", w.root + "/")), "Cannot change a scope root");
  for (const char* action : {"copy", "move"}) {
    EXPECT_EQ(w.refusal(ask(action, w / "source.txt", {{"destination", w.root}})),
              "Cannot replace a scope root");
  }
  EXPECT_EQ(snapshot(w.dir.path()), before);
}

TEST(Create, WriteNewAndMkdirMakeOneOwnerOnlyEntry) {
  Workspace w;
  const std::string limit(32768, 'a');
  EXPECT_EQ(w.run(ask("write_new", w / "limit.txt", {{"text", limit}}))["bytes_written"], 32768);
  EXPECT_EQ(readFile(w / "limit.txt"), limit);
  EXPECT_EQ(permissionsOf(w / "limit.txt") & ~0600, 0u);
  EXPECT_EQ(w.run(ask("write_new", w / "empty.txt", {{"text", ""}}))["bytes_written"], 0);
  EXPECT_EQ(readFile(w / "empty.txt"), "");

  std::string euros;  // 10923 characters of three bytes each: 32769 bytes
  for (int i = 0; i < 10923; ++i) {
    euros += "\xE2\x82\xAC";
  }
  for (const std::string& text : {limit + "a", euros}) {
    EXPECT_EQ(w.refusal(ask("write_new", w / "bad.txt", {{"text", text}})),
              "New text is limited to 32 KiB");
  }
  // Missing, null, a number, and bytes that only a request built in-process can carry.
  for (const Json& fields :
       {Json::object(), Json{{"text", nullptr}}, Json{{"text", 7}}, Json{{"text", "\xFF"}}}) {
    EXPECT_EQ(w.refusal(ask("write_new", w / "bad.txt", fields)), "Provide UTF-8 text");
  }
  EXPECT_FALSE(exists(w / "bad.txt"));

  EXPECT_EQ(w.run(ask("mkdir", w / "made"))["created"], true);
  EXPECT_EQ(permissionsOf(w / "made") & ~0700, 0u);
  EXPECT_EQ(w.refusal(ask("mkdir", w / "missing/child")), errorText(ENOENT));
  const AgentGrant view = w.store.add({w.root}, false, false, true);
  EXPECT_EQ(failureOf([&] { performFileAction(ask("mkdir", w / "viewer"), view); }),
            "View-only grant cannot edit files");
  EXPECT_FALSE(exists(w / "missing") || exists(w / "viewer"));
}

// A new file the disk had no room for is no file the agent made: nothing of it stays.
TEST(Create, WriteNewLeavesNothingWhenTheTextDoesNotFit) {
  Workspace w;
  const std::string small = w.dir.mkdir("granted/small");
  const TestMount volume(small, "size=8k");
  if (!volume.mounted()) {
    SKIP_WITHOUT_REAL_PART("mounting a tmpfs needs root");
  }
  EXPECT_EQ(w.refusal(ask("write_new", small + "/big.txt", {{"text", std::string(30000, 't')}})),
            errorText(ENOSPC));
  EXPECT_TRUE(std::filesystem::is_empty(small));
}

// What an action reported made is still there after a power cut: the name, not only the
// content, reached the disk before the reply.
TEST(Create, NewFilesOutliveAPowerCutOnceReported) {
  LoopFileSystem fs("xfs");
  if (!fs.problem().empty()) {
    SKIP_WITHOUT_REAL_PART(fs.problem());
  }
  const std::string root = fs / "granted";
  std::filesystem::create_directory(root);
  ::sync();
  GrantStore store;
  const AgentGrant grant = store.add({root}, /*edit=*/true, /*elevated=*/false, /*ack=*/true);
  const std::pair<std::string, Json> made[] = {
      {"new.txt", ask("write_new", root + "/new.txt", {{"text", "kept"}})},
      {"copy.txt", ask("copy", root + "/new.txt", {{"destination", root + "/copy.txt"}})}};
  for (const auto& [name, request] : made) {
    performFileAction(request, grant);
    ASSERT_TRUE(fs.crash());
    EXPECT_EQ(readFile(root + "/" + name), "kept") << name;
  }
}

}  // namespace
}  // namespace tamber
