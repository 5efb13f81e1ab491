#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "base/reply.h"
#include "support/runs.h"
#include "support/temp_dir.h"

namespace tamber {
namespace {

using testing::BinaryRun;
using testing::runBinary;
using testing::tamberBinary;
using testing::TempDir;

const std::string kNotDisposable = "Provide a disposable, task-owned fixture folder\n";

BinaryRun selfTest(const std::string& root, const std::string& directory = "") {
  return runBinary({tamberBinary(), "--self-test", root}, testing::inFolder(directory));
}

TEST(SelfTest, FreshRootPassesAndASecondRunOnItFails) {
  TempDir dir;
  const std::string root = dir / "a/b/c";
  const BinaryRun first = selfTest(root);
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.err, "");
  // The report of seven passed check groups.
  const Json report = Json::parse(first.out);
  EXPECT_EQ(report["passed"], true);
  EXPECT_EQ(report["checks"].size(), 7u);
  // What the run set aside stays as evidence of what it did.
  EXPECT_TRUE(std::filesystem::is_directory(root + "/scope-true-true-retained"));
  EXPECT_TRUE(std::filesystem::exists(root + "/backup-true-true/moved.txt"));

  // The folder set aside by the first run is in the way, and is never replaced.
  const BinaryRun second = selfTest(root);
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(second.out, "");
  EXPECT_EQ(second.err, "File exists\n");
  EXPECT_TRUE(std::filesystem::exists(root + "/scope-false-false-retained/original.txt"));
}

TEST(SelfTest, ResolvesSymlinkedAndRelativeRoots) {
  TempDir dir;
  dir.mkdir("real");
  std::filesystem::create_directory_symlink(dir / "real", dir / "link");
  const BinaryRun linked = selfTest(dir / "link/x/y");
  EXPECT_EQ(linked.status, 0) << linked.err;
  EXPECT_TRUE(std::filesystem::is_directory(dir / "real/x/y/outside"));

  const BinaryRun relative = selfTest("./rel/../rel/z", dir.path());
  EXPECT_EQ(relative.status, 0) << relative.err;
  EXPECT_TRUE(std::filesystem::is_directory(dir / "rel/z/outside"));
}

TEST(SelfTest, RefusesShallowRootsBeforeCreatingAnything) {
  const std::string shallow = "/tmp/tamber-shallow-" + std::to_string(::getpid());
  for (const auto& [root, directory] : std::vector<std::pair<std::string, std::string>>{
           {"/", ""}, {shallow, ""}, {shallow + "/x/..", ""}, {"tmp/x", "/"}}) {
    const BinaryRun run = selfTest(root, directory);
    EXPECT_EQ(run.status, 1) << root;
    EXPECT_EQ(run.out, "") << root;
    EXPECT_EQ(run.err, kNotDisposable) << root;
  }
  EXPECT_FALSE(std::filesystem::exists(shallow));

  // Deep as written, but a link on the way leads right under "/".
  TempDir dir;
  std::filesystem::create_directory_symlink("/", dir / "to-root");
  const std::string unique = "tamber-shallow-" + std::to_string(::getpid());
  const BinaryRun linked = selfTest(dir / "to-root" + "/" + unique + "/x");
  EXPECT_EQ(linked.status, 1);
  EXPECT_EQ(linked.err, kNotDisposable);
  EXPECT_FALSE(std::filesystem::exists("/" + unique));
}

}  // namespace
}  // namespace tamber
