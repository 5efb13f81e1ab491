#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "support/runs.h"
#include "support/temp_dir.h"

namespace tamber {
namespace {

using testing::BinaryRun;
using testing::runBinary;
using testing::tamberBinary;
using testing::TempDir;

BinaryRun tamber(std::vector<std::string> arguments, const std::string& directory = "") {
  arguments.insert(arguments.begin(), tamberBinary());
  return runBinary(arguments, testing::inFolder(directory));
}

// What the helper answers for a request that is not valid Base64 JSON.
std::string helperRefusal() {
  return ::geteuid() == 0
             ? "{\"error\":\"Malformed scoped helper request\",\"ok\":false}\n"
             : "{\"error\":\"Administrator authorization is required\",\"ok\":false}\n";
}

const std::string kNotDisposable = "Provide a disposable, task-owned fixture folder\n";

TEST(Modes, HelperFlagWinsAndFlagsTakeTheNextArgumentVerbatim) {
  TempDir dir;
  const std::string deep = dir / "a/b/c";

  // Both flags with values: the helper runs, whatever the order, and the self-test does not.
  for (const auto& arguments :
       std::vector<std::vector<std::string>>{{"--self-test", deep, "--privileged-op", "e30"},
                                             {"--privileged-op", "e30", "--self-test", deep},
                                             {"--privileged-op", "--self-test", deep}}) {
    const BinaryRun run = tamber(arguments);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, helperRefusal());
    EXPECT_EQ(run.err, "");
  }
  EXPECT_FALSE(std::filesystem::exists(deep));

  // A flag as the last argument has no value and counts as absent.
  const BinaryRun lastFlag = tamber({"--self-test", "/x/y", "--privileged-op"});
  EXPECT_EQ(lastFlag.status, 1);
  EXPECT_EQ(lastFlag.err, kNotDisposable);

  // A value that looks like a flag is still the value: the root "/--privileged-op".
  const BinaryRun flagAsValue = tamber({"--self-test", "--privileged-op"}, "/");
  EXPECT_EQ(flagAsValue.status, 1);
  EXPECT_EQ(flagAsValue.out, "");
  EXPECT_EQ(flagAsValue.err, kNotDisposable);

  // Only the first occurrence counts.
  const BinaryRun repeated = tamber({"--self-test", "/x", "--self-test", deep});
  EXPECT_EQ(repeated.status, 1);
  EXPECT_EQ(repeated.err, kNotDisposable);
  EXPECT_FALSE(std::filesystem::exists(deep));
}

}  // namespace
}  // namespace tamber
