#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

#include "agent/helper_mode.h"
#include "base/base64.h"
#include "base/failure.h"
#include "base/reply.h"
#include "base/time.h"
#include "support/runs.h"
#include "support/temp_dir.h"

namespace tamber {
namespace {

using testing::BinaryRun;
using testing::readFile;
using testing::runBinary;
using testing::tamberBinary;
using testing::TempDir;

const std::string kMalformed = "Malformed scoped helper request";
const std::string kDeadline = "Expired or invalid helper deadline";
const std::string kIdentities = "Folder identities required";
const std::string kIdentityChanged = "Selected folder identity changed; revoke and reselect it";

std::string failureLine(const std::string& text) {
  return jsonData(failureReply(text)) + "\n";
}

BinaryRun helper(const std::string& value, const testing::RunOptions& options = {}) {
  return runBinary({tamberBinary(), "--privileged-op", value}, options);
}

BinaryRun helperWith(const Json& payload) {
  return helper(base64Encode(jsonData(payload)));
}

class HelperModeTest : public ::testing::Test {
 protected:
  HelperModeTest() {
    work = dir.mkdir("work");
    struct stat status {};
    ::lstat(work.c_str(), &status);
    valid = Json{{"action", "write_new"},
                 {"path", work + "/new.txt"},
                 {"text", "from the helper"},
                 {"roots", {work}},
                 {"identities", {{work, {status.st_dev, status.st_ino}}}},
                 {"edit", true},
                 {"expires", epochSeconds(WallClock::now()) + 1800}};
  }

  // `valid` with `key` set to `value`, or removed when `value` is discarded.
  Json with(const std::string& key, const Json& value) const {
    Json payload = valid;
    if (value.is_discarded()) {
      payload.erase(key);
    } else {
      payload[key] = value;
    }
    return payload;
  }

  TempDir dir;
  std::string work;
  Json valid;
};

const Json kRemoved = Json(Json::value_t::discarded);

TEST_F(HelperModeTest, RequiresRootEvenForAValidRequest) {
  testing::RunOptions options;
  if (::geteuid() == 0) {
    options.user = testing::kNobody;
    ::chmod(dir.path().c_str(), 0755);
  }
  const BinaryRun run = helper(base64Encode(jsonData(valid)), options);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, failureLine("Administrator authorization is required"));
  EXPECT_EQ(run.err, "");
  EXPECT_FALSE(std::filesystem::exists(work + "/new.txt"));
}

TEST_F(HelperModeTest, PerformsExactlyOneActionAsRoot) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "the helper acts only as root";
  }
  const BinaryRun run = helperWith(valid);
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(run.err, "");
  ASSERT_TRUE(run.out.ends_with("}\n"));
  EXPECT_EQ(run.out.find('\n'), run.out.size() - 1);
  const Json reply = Json::parse(run.out);
  EXPECT_EQ(reply["ok"], true);
  EXPECT_EQ(jsonData(reply) + "\n", run.out);  // compact, keys sorted
  EXPECT_EQ(readFile(work + "/new.txt"), "from the helper");

  // A token smuggled into the payload changes nothing.
  Json tokened = with("token", "anything at all");
  tokened["path"] = work + "/second.txt";
  EXPECT_EQ(helperWith(tokened).status, 0);
  EXPECT_EQ(readFile(work + "/second.txt"), "from the helper");
}

// The refusal table runs in process, where each case costs microseconds; the runs of the
// real executable above and below show the same code is what the binary runs.
std::string refusalOf(const std::string& value) {
  try {
    return "succeeded: " + jsonData(privilegedHelperReply(value));
  } catch (const BrokerFailure& failure) {
    return failure.description();
  }
}

TEST_F(HelperModeTest, RefusesEveryMalformedOrOutOfScopeRequest) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "checks after the root check need root";
  }
  const std::string credentials = dir.mkdir(".ssh");
  const std::uint64_t device = valid["identities"][work][0];
  const std::uint64_t inode = valid["identities"][work][1];
  const auto encoded = [](const Json& payload) { return base64Encode(jsonData(payload)); };
  const auto expiringIn = [&](double seconds) {
    return encoded(with("expires", epochSeconds(WallClock::now()) + seconds));
  };
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"not base64!", kMalformed},
      {"e30", kMalformed},  // "{}" without its padding
      {encoded(valid) + "\n", kMalformed},
      {encoded(valid).insert(8, " "), kMalformed},
      {base64Encode("[]"), kMalformed},
      {base64Encode("{}"), kMalformed},
      {base64Encode("7"), kMalformed},
      {encoded(with("roots", kRemoved)), kMalformed},
      {encoded(with("roots", work)), kMalformed},
      {encoded(with("roots", {work, 1})), kMalformed},
      {encoded(with("expires", kRemoved)), kMalformed},
      {encoded(with("expires", "soon")), kMalformed},
      {expiringIn(0), kDeadline},
      {expiringIn(-60), kDeadline},
      {expiringIn(3602), kDeadline},  // a second of slack for the time this test takes
      {encoded(with("expires", 1e300)), kDeadline},
      {encoded(with("roots", Json::array())), "Select one to eight specific folders"},
      {encoded(with("roots", {"/"})), "Select specific data folders, not a whole system tree"},
      {encoded(with("roots", {credentials})),
       "Credential and agent-private paths cannot be delegated"},
      // Only the shape is required: an object of number arrays.
      {encoded(with("identities", kRemoved)), kIdentities},
      {encoded(with("identities", Json::array({work}))), kIdentities},
      {encoded(with("identities", {{work, "1,2"}})), kIdentities},
      {encoded(with("identities", {{work, {device, "2"}}})), kIdentities},
      {encoded(with("identities", {{work, {device, inode}}, {"/elsewhere", true}})), kIdentities},
      // Any entry that is not exactly this folder's two numbers names no folder.
      {encoded(with("identities", Json::object())), kIdentityChanged},
      {encoded(with("identities", {{work, Json::array()}})), kIdentityChanged},
      {encoded(with("identities", {{work, {device}}})), kIdentityChanged},
      {encoded(with("identities", {{work, {device, inode, 0}}})), kIdentityChanged},
      {encoded(with("identities", {{work, {device, inode + 0.5}}})), kIdentityChanged},
      {encoded(with("identities", {{work, {-1, inode}}})), kIdentityChanged},
      {encoded(with("identities", {{work, {device, inode + 1}}})), kIdentityChanged},
      {encoded(with("identities", {{"/elsewhere", {device, inode}}})), kIdentityChanged},
      {encoded(with("edit", kRemoved)), "View-only grant cannot edit files"},
      {encoded(with("edit", "true")), "View-only grant cannot edit files"},
      {encoded(with("path", dir / "elsewhere.txt")), "Path is outside the selected grant folders"},
      {encoded(with("action", "delete")),
       "Unknown action; permanent deletion and arbitrary commands are not exposed"},
  };
  for (const auto& [value, error] : cases) {
    EXPECT_EQ(refusalOf(value), error) << value;
  }
  // Not JSON: the parser's own words, made valid UTF-8 so they can travel in the reply.
  const std::string notJson = refusalOf(base64Encode("{\"roots\": \xff"));
  EXPECT_NE(notJson.find("parse error"), std::string::npos);
  EXPECT_NE(jsonData(failureReply(notJson)), "{}");

  // A root reached through a link is granted as the folder it names: the identity recorded
  // under the link's path is no entry for that folder, and a path under the link's name lies
  // outside the grant.
  const std::string link = dir / "link";
  std::filesystem::create_directory_symlink(work, link);
  Json linked = with("roots", {link});
  linked["identities"] = {{link, {device, inode}}};
  EXPECT_EQ(refusalOf(encoded(linked)), kIdentityChanged);
  linked["path"] = link + "/new.txt";
  EXPECT_EQ(refusalOf(encoded(linked)), "Path is outside the selected grant folders");
  EXPECT_FALSE(std::filesystem::exists(work + "/new.txt"));

  // Thirty minutes ahead is fine.
  EXPECT_TRUE(refusalOf(expiringIn(1800)).starts_with("succeeded: "));
  EXPECT_EQ(readFile(work + "/new.txt"), "from the helper");
}

TEST_F(HelperModeTest, ReportsFailuresAsOneLineOnStandardOutput) {
  const BinaryRun garbage = helper("e30");
  EXPECT_EQ(garbage.status, 1);
  EXPECT_EQ(garbage.out,
            failureLine(::geteuid() == 0 ? kMalformed : "Administrator authorization is required"));
  EXPECT_EQ(garbage.err, "");
}

TEST(HelperTimeLimit, EndsTheProcessWithStatus124AndNoOutput) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        armProcessTimeLimit(std::chrono::milliseconds(100), kHelperTimeLimitStatus);
        std::this_thread::sleep_for(std::chrono::seconds(5));
        std::fputs("too late", stdout);
        std::exit(0);
      },
      ::testing::ExitedWithCode(124), "");
}

}  // namespace
}  // namespace tamber
