#include <gtest/gtest.h>

#include "agent/request_json.h"

namespace tamber {
namespace {

TEST(PlainRequest, AgreesWithTheFullParserOrStandsAside) {
  for (const char* text : {
           "{\"token\":\"t\",\"action\":\"stat\",\"path\":\"/w/a b.txt\"}\n", " {  } \r\n\t",
           R"({"a" : "" , "b":"~!@#$%^&*()[]{}:,/"})",
           R"({"path":"/first","path":"/second"})",  // the last of a repeated key wins
       }) {
    const std::optional<Json> plain = parsePlainRequest(text);
    ASSERT_TRUE(plain.has_value()) << text;
    EXPECT_EQ(*plain, Json::parse(text)) << text;
  }

  // Anything beyond plain strings goes to the full parser, which accepts or refuses it.
  for (const char* text : {
           "",
           "[]",
           R"({"a":1})",
           R"({"a":{"b":"c"}})",
           R"({"a":"\u00e9"})",
           "{\"a\":\"\xc3\xa9\"}",
           "{\"a\":\"x\ty\"}",
           "{\"a\":\"\x7f\"}",
           R"({"a":"x")",
           R"({"a":"x",})",
           R"({"a":"x"} x)",
           R"({"a":"x"}{"b":"y"})",
           "{,}",
           R"({"a" "b"})",
           R"({"a":"x" "b":"y"})",
           "{\"a\":\"x\"}\v",
       }) {
    EXPECT_FALSE(parsePlainRequest(text).has_value()) << text;
  }
  EXPECT_EQ(parseRequestJson(R"({"a":1})"), Json({{"a", 1}}));
  EXPECT_EQ(parseRequestJson("{\"a\":\"\xc3\xa9\"}"), Json({{"a", "\xc3\xa9"}}));
}

}  // namespace
}  // namespace tamber
