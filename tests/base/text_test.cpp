#include <string>

#include <gtest/gtest.h>

#include "base/base64.h"
#include "base/line_diff.h"
#include "base/reply.h"
#include "base/text.h"
#include "platform/process.h"

namespace tamber {
namespace {

TEST(ShellQuote, SurvivesARealShell) {
  for (const std::string& text :
       {std::string(R"(/Apps/O'Neil "x"\y)"), std::string("$(id) `id` ; | & * \n ''"),
        std::string(R"({"error":"it's","ok":false})"), std::string()}) {
    const ProcessResult run =
        runProcess({"/bin/sh", "-c", "/usr/bin/printf '%s' " + shellQuote(text)});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, text);
  }
}

TEST(Base64, DecodesOnlyTheOneCanonicalSpelling) {
  const std::string bytes("\0\xff\xfe\x80 ~foobar", 12);
  for (size_t length = 0; length <= bytes.size(); ++length) {
    EXPECT_EQ(strictBase64Decode(base64Encode(bytes.substr(0, length))), bytes.substr(0, length));
  }
  EXPECT_EQ(base64Encode("foob"), "Zm9vYg==");
  EXPECT_EQ(base64Encode("\xfb\xff"), "+/8=");
  for (const char* sloppy :
       {"Zm9vYg=", "Zm9vYg", "Zm9v\nYg==", "Zm9v Yg==", "Zm9vYh==", "Zm9vYmE=x",
        "Zm=vYg==", "====", "Zg=a", "Zm9-", "Zm9_", "Zm9vYg===", "=Zm9"}) {
    EXPECT_FALSE(strictBase64Decode(sloppy).has_value()) << sloppy;
  }
}

// The quick check agrees with the converter: valid exactly when nothing would be replaced.
TEST(Utf8, IsValidExactlyWhenTheConversionLeavesItUnchanged) {
  for (const char* text : {"", "plain", "caf\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80",
                           "\xf4\x8f\xbf\xbf", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80",
                           "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xc3", "\xe2\x82",
                           "a\x80"
                           "b",
                           "\xff", "\xef\xbf\xbe"}) {
    EXPECT_EQ(isValidUtf8(text), validUtf8(text) == text) << text;
  }
}

// Two names that look alike once shown (both "x\uFFFD") keep addresses of their own, each of
// which gives its name back; text that addressOf never writes names nothing.
TEST(NameAddress, NamesEveryByteStringOneWayOnly) {
  const std::pair<std::string, std::string> names[] = {
      {"Projects/site", "Projects/site"},
      {"Caf\u00e9 \u2615 \U0001D11E", "Caf\u00e9 \u2615 \U0001D11E"},
      {"x\xff", "x\uFFFDff"},
      {"x\xfe", "x\uFFFDfe"},
      {"a\uFFFDb", "a\uFFFD\uFFFDb"},                              // U+FFFD in the name itself
      {"\xe2\x82/\xc0\xaf", "\uFFFDe2\uFFFD82/\uFFFDc0\uFFFDaf"},  // cut short; overlong
      {"\xed\xa0\x80\xf4\x90\x80\x80", "\uFFFDed\uFFFDa0\uFFFD80\uFFFDf4\uFFFD90\uFFFD80\uFFFD80"},
  };
  for (const auto& [bytes, address] : names) {
    EXPECT_EQ(addressOf(bytes), address);
    EXPECT_EQ(bytesOfAddress(address), bytes);
    EXPECT_TRUE(isValidUtf8(address));
  }
  for (const char* nothing : {"x\uFFFD", "x\uFFFDf", "x\uFFFDFF", "x\uFFFDzz", "\uFFFD41",
                              "\uFFFDe2\uFFFD82\uFFFDac", "x\xff"}) {
    EXPECT_FALSE(bytesOfAddress(nothing).has_value()) << nothing;
  }
}

// Diff lines joined as a unified diff's body shows them.
std::string shownDiff(std::string_view before, std::string_view after, size_t maxLines = 100) {
  bool truncated = false;
  std::string shown;
  for (const DiffLine& line : lineDiff(before, after, maxLines, truncated)) {
    shown += (line.kind == '@' ? "" : std::string(1, line.kind)) + line.text +
             (line.newline ? "\n" : "\n\\ No newline at end of file\n");
  }
  return truncated ? shown + "...\n" : shown;
}

TEST(LineDiff, NumbersEmptySidesAtZeroAndSeesTheLastNewline) {
  EXPECT_EQ(shownDiff("same\n", "same\n"), "");
  EXPECT_EQ(shownDiff("", "a\nb\n"), "@@ -0,0 +1,2 @@\n+a\n+b\n");
  EXPECT_EQ(shownDiff("a\n", ""), "@@ -1,1 +0,0 @@\n-a\n");
  EXPECT_EQ(shownDiff("a\nb", "a\nb\n"),
            "@@ -1,2 +1,2 @@\n a\n-b\n\\ No newline at end of file\n+b\n");
  EXPECT_EQ(shownDiff("1\n2\n3\n4\n5\n6\n7\n8\n", "1\n2\n3\n4\n5\n6\n7\neight\n"),
            "@@ -5,4 +5,4 @@\n 5\n 6\n 7\n-8\n+eight\n");
  EXPECT_EQ(shownDiff("a\n", "b\n", 2), "@@ -1,1 +1,1 @@\n-a\n...\n");
}

// A reply is serialised for an agent whatever it holds: a value that is not valid UTF-8 must
// not end the process, and what goes out instead is never taken for a success.
TEST(Reply, UnserialisableValueBecomesEmptyObject) {
  Json reply{{"ok", true}};
  reply["name"] = std::string("bad\xff\xfe");
  EXPECT_EQ(jsonData(reply), "{}");
  EXPECT_FALSE(isSuccessReply(Json::parse(jsonData(reply))));
  EXPECT_FALSE(isSuccessReply(Json{{"ok", 1}}));  // only a Boolean "ok" counts
  EXPECT_FALSE(isSuccessReply(Json::array({true})));
}

}  // namespace
}  // namespace tamber
