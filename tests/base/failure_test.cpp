#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include "base/failure.h"
#include "base/reply.h"

namespace tamber {
namespace {

TEST(Failure, RequireThrowsTheExactSentence) {
  EXPECT_NO_THROW(require(true, "Select one to eight specific folders"));
  try {
    require(false, "Select one to eight specific folders");
    FAIL() << "require(false) did not throw";
  } catch (const BrokerFailure& failure) {
    EXPECT_EQ(failure.description(), "Select one to eight specific folders");
    EXPECT_STREQ(failure.what(), "Select one to eight specific folders");
  }
}

TEST(Failure, ErrnoFailureIsThePlainSystemText) {
  ASSERT_EQ(::open("/nonexistent-tamber-path/file", O_RDONLY | O_CLOEXEC), -1);
  const BrokerFailure failure = errnoFailure();
  EXPECT_EQ(failure.description(), "No such file or directory");
  EXPECT_EQ(errnoFailure(EACCES).description(), std::strerror(EACCES));
}

TEST(Reply, EnvelopesAreCompactWithSortedKeys) {
  EXPECT_EQ(jsonData(failureReply("Path is outside the selected grant folders")),
            R"({"error":"Path is outside the selected grant folders","ok":false})");

  Json reply = successReply();
  reply["size"] = 3;
  reply["entries"] = Json::array({Json{{"type", "file"}, {"name", "é"}}});
  EXPECT_EQ(jsonData(reply), R"({"entries":[{"name":"é","type":"file"}],"ok":true,"size":3})");
}

TEST(Reply, UnserialisableValueBecomesEmptyObject) {
  Json reply = successReply();
  reply["name"] = std::string("bad\xff\xfe");
  EXPECT_EQ(jsonData(reply), "{}");
  EXPECT_FALSE(isSuccessReply(Json::parse(jsonData(reply))));
}

TEST(Reply, OnlyABooleanOkCountsAsSuccess) {
  EXPECT_TRUE(isSuccessReply(Json{{"ok", true}}));
  EXPECT_FALSE(isSuccessReply(Json{{"ok", false}}));
  EXPECT_FALSE(isSuccessReply(Json{{"ok", 1}}));
  EXPECT_FALSE(isSuccessReply(Json{{"ok", "true"}}));
  EXPECT_FALSE(isSuccessReply(Json::array({true})));
}

}  // namespace
}  // namespace tamber
