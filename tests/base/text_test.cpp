#include <string>

#include <gtest/gtest.h>

#include "base/base64.h"
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
  for (const std::string& bytes :
       {std::string(""), std::string("f"), std::string("fo"), std::string("foo"),
        std::string("foob"), std::string("\0\xff\xfe\x80 ~", 6)}) {
    EXPECT_EQ(strictBase64Decode(base64Encode(bytes)), bytes);
  }
  EXPECT_EQ(base64Encode("\xfb\xff"), "+/8=");
  for (const char* sloppy :
       {"Zm9vYg=", "Zm9vYg", "Zm9v\nYg==", "Zm9v Yg==", "Zm9vYh==", "Zm9vYmE=x",
        "Zm=vYg==", "====", "Zg=a", "Zm9-", "Zm9_", "Zm9vYg===", "=Zm9"}) {
    EXPECT_FALSE(strictBase64Decode(sloppy).has_value()) << sloppy;
  }
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
