#include <cerrno>
#include <set>

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

TEST(Read, RangesCoverAFileOfAnySizeAndOnlyAWholeOneHasItsDigest) {
  Workspace w;
  std::string big(70000, 'b');
  big[40000] = '\0';
  w.dir.write("granted/big", big);
  w.dir.write("granted/small", "small");
  std::string joined;
  for (Json range = {{"has_more", true}, {"bytes_read", 0}}; range["has_more"] == true;) {
    const auto offset = joined.size();
    range = w.run(ask("read", w / "big", {{"offset", offset}}));
    EXPECT_EQ(range.value("file_bytes", 0), 70000);
    EXPECT_EQ(range.value("offset", 0u), offset);
    EXPECT_FALSE(range.contains("sha256")) << "a part of the file has no digest of its own";
    joined += decodeBase64(range["data_base64"]);
  }
  EXPECT_EQ(joined, big);
  EXPECT_EQ(w.run(ask("read", w / "small", {{"offset", 0}}))["sha256"], memoryDigest("small", 5));
  EXPECT_EQ(
      jsonData(w.run(ask("read", w / "small", {{"offset", 9}}))),
      R"({"bytes_read":0,"data_base64":"","file_bytes":5,"has_more":false,"offset":9,"ok":true})");

  // Anything but a whole number from 0 is refused before the file is opened; other actions
  // ignore the field, as they ignore every field they do not take.
  for (const Json& offset : {Json(-1), Json(1.5), Json("0"), Json(true), Json(nullptr),
                             Json::parse("9223372036854775808")}) {
    EXPECT_EQ(w.refusal(ask("read", w / "small", {{"offset", offset}})),
              "Read offset must be a whole number of bytes, 0 or more")
        << offset;
  }
  EXPECT_EQ(w.refusal(ask("stat", w / "small", {{"offset", -1}})), "");
}

TEST(List, PagesNameEveryEntryOnceWithItsFoldersAndOnlyForTheirFolder) {
  Workspace w;
  std::multiset<std::string> expected = {"link"};
  for (int i = 0; i < 250; ++i) {
    expected.insert(
        i % 50 == 0
            ? std::filesystem::path(w.dir.mkdir("granted/many/d" + std::to_string(i))).filename()
            : std::filesystem::path(w.dir.write("granted/many/f" + std::to_string(i), ""))
                  .filename());
  }
  std::filesystem::create_symlink(w / "many/d0", w / "many/link");  // a link is not a folder
  std::multiset<std::string> seen;
  std::set<std::string> folders;
  std::string first;
  for (Json page = {{"continuation", ""}}; page.contains("continuation");) {
    page = w.run(ask("list", w / "many", {{"continuation", page["continuation"]}}));
    const auto entries = page["entries"].get<std::vector<std::string>>();
    EXPECT_TRUE(std::is_sorted(entries.begin(), entries.end()));
    seen.insert(entries.begin(), entries.end());
    const auto subfolders = page["folders"].get<std::vector<std::string>>();
    folders.insert(subfolders.begin(), subfolders.end());
    EXPECT_EQ(page.contains("continuation"), page["has_more"].get<bool>());
    first = first.empty() ? page.value("continuation", "") : first;
  }
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(folders, (std::set<std::string>{"d0", "d100", "d150", "d200", "d50"}));

  // A continuation belongs to its folder; anything not handed out is refused.
  w.dir.mkdir("granted/other");
  const std::string kUnknown = "Unknown list continuation; list the folder again without one";
  EXPECT_EQ(w.refusal(ask("list", w / "other", {{"continuation", first}})), kUnknown);
  const std::string digits = first.substr(first.find('.'));
  for (const Json& bad : {Json(7), Json("x"), Json("0" + first), Json("A" + digits),
                          Json("8000000000000000" + digits), Json(first + "0"), Json(".")}) {
    EXPECT_EQ(w.refusal(ask("list", w / "many", {{"continuation", bad}})), kUnknown) << bad;
  }
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
  const Json ranged = {{"offset", 2}, {"continuation", ""}};
  const size_t before = openDescriptors();
  for (const std::string& path :
       {w / "f.txt", w / "sub", w / "link", w / "missing", w / "link/x"}) {
    for (const char* action :
         {"stat", "list", "read", "write_new", "mkdir", "copy", "move", "replace"}) {
      w.refusal(ask(action, path, fields));
      w.refusal(ask(action, path, ranged));
    }
  }
  EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
}  // namespace tamber
