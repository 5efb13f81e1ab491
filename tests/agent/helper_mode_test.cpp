#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

#include "agent/helper_mode.h"
#include "base/base64.h"
#include "base/reply.h"
#include "base/time.h"
#include "support/runs.h"
#include "support/temp_dir.h"
#include "support/waiting.h"

namespace tamber {
namespace {

using testing::BinaryRun;
using testing::failureOf;
using testing::readFile;
using testing::runBinary;
using testing::tamberBinary;
using testing::TempDir;

const std::string kMalformed = "Malformed scoped helper request";
const std::string kDeadline = "Expired or invalid helper deadline";
const std::string kIdentities = "Folder identities required";
const std::string kIdentityChanged = "Selected folder identity changed; revoke and reselect it";

BinaryRun helper(const std::string& value, const testing::RunOptions& options = {}) {
  return runBinary({tamberBinary(), "--privileged-op", value}, options);
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
  EXPECT_EQ(run.out, R"({"error":"Administrator authorization is required","ok":false})"
                     "\n");
  EXPECT_EQ(run.err, "");
  EXPECT_FALSE(std::filesystem::exists(work + "/new.txt"));
}

// The refusal table runs in process, where each case costs microseconds; the run of the real
// executable above, and the real pkexec test, show the same code is what the binary runs.
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
  const auto refusal = [](const std::string& value) {
    return failureOf([&] { privilegedHelperReply(value); });
  };
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"e30", kMalformed},  // "{}" without its padding
      {base64Encode("[]"), kMalformed},
      {encoded(with("roots", kRemoved)), kMalformed},
      {encoded(with("roots", {work, 1})), kMalformed},
      {encoded(with("expires", kRemoved)), kMalformed},
      {expiringIn(0), kDeadline},
      {expiringIn(3602), kDeadline},  // a second of slack for the time this test takes
      {encoded(with("expires", 1e300)), kDeadline},
      {encoded(with("roots", {credentials})),
       "Credential and agent-private paths cannot be delegated"},
      // Only the shape is required: an object of number arrays.
      {encoded(with("identities", kRemoved)), kIdentities},
      {encoded(with("identities", {{work, {device, "2"}}})), kIdentities},
      {encoded(with("identities", {{work, {device, inode}}, {"/elsewhere", true}})), kIdentities},
      // Any entry that is not exactly this folder's two numbers names no folder.
      {encoded(with("identities", Json::object())), kIdentityChanged},
      {encoded(with("identities", {{work, {-1, inode}}})), kIdentityChanged},
      {encoded(with("identities", {{work, {device, inode + 1}}})), kIdentityChanged},
      {encoded(with("edit", "true")), "View-only grant cannot edit files"},
      {encoded(with("path", dir / "elsewhere.txt")), "Path is outside the selected grant folders"},
      {encoded(with("action", "delete")),
       "Unknown action; permanent deletion and arbitrary commands are not exposed"},
  };
  for (const auto& [value, error] : cases) {
    EXPECT_EQ(refusal(value), error) << value;
  }
  // Not JSON: the parser's own words, made valid UTF-8 so they can travel in the reply.
  const std::string notJson = refusal(base64Encode("{\"roots\": \xff"));
  EXPECT_NE(notJson.find("parse error"), std::string::npos);
  EXPECT_NE(jsonData(failureReply(notJson)), "{}");

  // A root reached through a link is granted as the folder it names: the identity recorded
  // under the link's path is no entry for that folder, and a path under the link's name lies
  // outside the grant.
  const std::string link = dir / "link";
  std::filesystem::create_directory_symlink(work, link);
  Json linked = with("roots", {link});
  linked["identities"] = {{link, {device, inode}}};
  EXPECT_EQ(refusal(encoded(linked)), kIdentityChanged);
  linked["path"] = link + "/new.txt";
  EXPECT_EQ(refusal(encoded(linked)), "Path is outside the selected grant folders");
  EXPECT_FALSE(std::filesystem::exists(work + "/new.txt"));

  // Thirty minutes ahead is fine.
  EXPECT_EQ(refusal(expiringIn(1800)), "");
  EXPECT_EQ(readFile(work + "/new.txt"), "from the helper");
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
