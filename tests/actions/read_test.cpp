#include <cerrno>

#include "actions/action_fixture.h"
#include "actions/digest.h"

namespace tamber {
namespace {

using namespace testing;

TEST(ReadOnly, StatAndReadReplyWithExactlyTheirFields) {
  Workspace w;
  const std::string limit(32768, 'x');
  w.dir.write("granted/limit", limit);
  w.dir.write("granted/over", limit + "y");
  w.dir.write("granted/empty", "");

  EXPECT_EQ(jsonData(w.run(ask("stat", w / "empty"))),
            R"({"file_bytes":0,"is_directory":false,"ok":true,"physical_data_bytes":null})");
  EXPECT_EQ(w.run(ask("stat", w.root + "/"))["is_directory"], true);
  EXPECT_EQ(w.refusal(ask("stat", w / "missing")), errorText(ENOENT));

  const Json full = w.run(ask("read", w / "limit"));
  EXPECT_EQ(decodeBase64(full["data_base64"]), limit);
  EXPECT_EQ(full["bytes_read"], 32768);
  EXPECT_EQ(full["sha256"], memoryDigest(limit.data(), limit.size()));
  EXPECT_EQ(w.refusal(ask("read", w / "over")),
            "Content read is limited to 32 KiB; request metadata for larger files");
  EXPECT_EQ(
      jsonData(w.run(ask("read", w / "empty"))),
      R"({"bytes_read":0,"data_base64":"","ok":true,"sha256":")" + memoryDigest("", 0) + R"("})");
}

TEST(List, ReturnsAtMost200SortedNamesOfTheFirst201) {
  Workspace w;
  w.dir.mkdir("granted/empty");
  EXPECT_EQ(jsonData(w.run(ask("list", w / "empty"))),
            R"({"entries":[],"has_more":false,"notice":"Choose a narrower folder when )"
            R"(truncated; filenames are private.","ok":true})");

  // Upper case before lower case, composed and decomposed é side by side, hidden names kept,
  // a name that is not UTF-8 shown with U+FFFD.
  w.dir.mkdir("granted/mixed");
  for (const std::string name : {"b", "B", ".env", "e\xCC\x81x", "\xC3\xA9", "a\xFF"}) {
    w.dir.write("granted/mixed/" + name, "");
  }
  EXPECT_EQ(w.run(ask("list", w / "mixed"))["entries"],
            Json::array({".env", "B", "a\xEF\xBF\xBD", "b", "\xC3\xA9", "e\xCC\x81x"}));
  EXPECT_EQ(w.refusal(ask("list", w / "mixed/b")), errorText(ENOTDIR));

  w.dir.mkdir("granted/many");
  for (int i = 0; i < 200; ++i) {
    w.dir.write("granted/many/" + std::to_string(1000 + i), "");
  }
  const Json full = w.run(ask("list", w / "many"));
  EXPECT_EQ(full["entries"].size(), 200u);
  EXPECT_EQ(full["has_more"], false);
  w.dir.write("granted/many/0999", "");
  const Json truncated = w.run(ask("list", w / "many"));
  EXPECT_EQ(truncated["entries"].size(), 200u);
  EXPECT_EQ(truncated["entries"][0], "0999");
  EXPECT_EQ(truncated["has_more"], true);
}

size_t openDescriptors() {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                           std::filesystem::directory_iterator()));
}

TEST(Executor, LeavesNoDescriptorOpenOnAnyWayOut) {
  Workspace w;
  w.dir.write("granted/f.txt", "text");
  w.dir.mkdir("granted/sub");
  std::filesystem::create_symlink(w.outside, w / "link");
  const Json fields = {{"destination", w / "sub/copy"},
                       {"text", "new"},
                       {"expected_sha256", memoryDigest("text", 4)}};
  const size_t before = openDescriptors();
  for (const std::string& path :
       {w / "f.txt", w / "sub", w / "link", w / "missing", w / "link/x"}) {
    for (const char* action :
         {"stat", "list", "read", "write_new", "mkdir", "copy", "move", "replace"}) {
      w.refusal(ask(action, path, fields));
    }
  }
  EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
}  // namespace tamber
