#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "agent/audit_log.h"
#include "base/text.h"
#include "base/time.h"
#include "support/temp_dir.h"

namespace tamber {
namespace {

using testing::readFile;
using testing::TempDir;

mode_t modeOf(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

long lineCount(const std::string& path) {
  const std::string content = readFile(path);
  return std::count(content.begin(), content.end(), '\n');
}

TEST(AuditRecord, HoldsSixKeysAndNothingSecret) {
  const WallClock::time_point at(std::chrono::milliseconds(1'700'000'000'250));
  const Json request{{"token", "SECRET-TOKEN"}, {"action", "replace"},
                     {"path", "/w/a.txt"},      {"destination", 42},
                     {"text", "private words"}, {"expected_sha256", "abc123"}};
  EXPECT_EQ(auditLine(request, true, true, at),
            R"({"action":"replace","at":1700000000.25,"destination":"","elevated":true,)"
            R"("ok":true,"path":"/w/a.txt"})");

  // Whatever shape the request has, the record keeps its six typed keys.
  EXPECT_EQ(auditLine(Json::array({1}), false, false,
                      WallClock::time_point(std::chrono::seconds(1'700'000'000))),
            R"({"action":"","at":1700000000.0,"destination":"","elevated":false,)"
            R"("ok":false,"path":""})");
}

TEST(AuditRecord, ReadsBackAsTheRequestsOwnStrings) {
  // Every character a path may hold, escaped so that the line is one line of valid JSON.
  const std::string path = std::string("/w/\"q\"\\b\x01\x1f\x7f\t\n\r\b\f/\u00e9/") + "\xff\xfe";
  const WallClock::time_point at(std::chrono::microseconds(1'765'083'600'123'457));
  const std::string line =
      auditLine(Json{{"action", "stat"}, {"path", path}, {"destination", "d"}}, false, true, at);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  const Json record = Json::parse(line);
  EXPECT_EQ(record["path"], validUtf8(path));
  EXPECT_EQ(record["destination"], "d");
  EXPECT_EQ(record["at"].get<double>(), epochSeconds(at));
  EXPECT_EQ(line.find(R"("at":1765083600.123457,)"), 17u) << line;
}

TEST(AuditRecord, AtIsTheClocksOwnCountInDecimalSeconds) {
  using std::chrono::nanoseconds;
  const std::pair<nanoseconds, const char*> cases[] = {
      {nanoseconds(1'765'083'600'000'000'001), "1765083600.000000001"},
      {nanoseconds(1'765'083'600'100'000'000), "1765083600.1"},
      {nanoseconds(0), "0.0"},
      {nanoseconds(-1'500'000'000), "-1.5"},
  };
  for (const auto& [since, text] : cases) {
    const std::string line =
        auditLine(Json::object(), false, false,
                  WallClock::time_point(std::chrono::duration_cast<WallClock::duration>(since)));
    EXPECT_NE(line.find(std::string(",\"at\":") + text + ","), std::string::npos) << line;
  }
}

TEST(AuditLog, AppendsOneLinePerRecordInAPrivateFile) {
  TempDir dir;
  const std::string log = dir / "agent-audit.jsonl";
  AuditLog audit(dir.path());
  EXPECT_FALSE(std::filesystem::exists(log)) << "created by the first record, not before";
  const mode_t previous = ::umask(0);  // the log must be 0600 whatever the umask
  audit.append(Json{{"action", "list"}}, false, true);
  ::umask(previous);
  EXPECT_EQ(modeOf(log), 0600);
  audit.append(Json{{"action", "read"}}, true, false);
  EXPECT_EQ(lineCount(log), 2);

  // The log stays open, yet the name is followed: a rotated or deleted log is never written
  // again, and a new one is made at the name.
  const std::string rotated = dir / "agent-audit.jsonl.1";
  ASSERT_EQ(::rename(log.c_str(), rotated.c_str()), 0);
  audit.append(Json{{"action", "stat"}}, false, true);
  ASSERT_EQ(::unlink(log.c_str()), 0);
  audit.append(Json{{"action", "mkdir"}}, false, true);
  EXPECT_EQ(modeOf(log), 0600);
  EXPECT_EQ(lineCount(rotated), 2);
  EXPECT_EQ(Json::parse(readFile(log))["action"], "mkdir");
}

TEST(AuditLog, NeverWritesThroughLinksOrIntoOtherFiles) {
  TempDir dir;
  const std::string log = dir / "agent-audit.jsonl";
  const std::string target = dir.write("elsewhere.txt", "untouched");
  ASSERT_EQ(::symlink(target.c_str(), log.c_str()), 0);
  AuditLog audit(dir.path());
  audit.append(Json::object(), false, true);
  EXPECT_EQ(readFile(target), "untouched");
  ASSERT_EQ(::unlink(log.c_str()), 0);

  // A FIFO must neither block the broker nor receive the record.
  ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0);
  audit.append(Json::object(), false, true);
  ASSERT_EQ(::unlink(log.c_str()), 0);

  ASSERT_EQ(::mkdir(log.c_str(), 0700), 0);
  audit.append(Json::object(), false, true);
  EXPECT_TRUE(std::filesystem::is_empty(log));

  // A missing data directory loses the record quietly.
  AuditLog(dir / "missing").append(Json::object(), false, true);
  EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
}

}  // namespace
}  // namespace tamber
