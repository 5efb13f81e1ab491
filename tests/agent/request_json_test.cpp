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
    const std::optional<PlainRequest> plain = parsePlainRequest(text);
    ASSERT_TRUE(plain.has_value()) << text;
    EXPECT_EQ(plain->toJson(), Json::parse(text)) << text;
  }
  const std::optional<PlainRequest> repeated =
      parsePlainRequest(R"({"path":"/first","path":"/second"})");
  EXPECT_EQ(RequestView(*repeated).string("path"), "/second");
  EXPECT_EQ(RequestView(*repeated).string("action"), std::nullopt);

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
           // More members than a plain request holds.
           R"({"a":"","b":"","c":"","d":"","e":"","f":"","g":"","h":"","i":"","j":"","k":"",)"
           R"("l":"","m":"","n":"","o":"","p":"","q":""})",
       }) {
    EXPECT_FALSE(parsePlainRequest(text).has_value()) << text;
  }
  EXPECT_EQ(parseRequestJson(R"({"a":1})"), Json({{"a", 1}}));
  EXPECT_EQ(parseRequestJson("{\"a\":\"\xc3\xa9\"}"), Json({{"a", "\xc3\xa9"}}));
  // A parsed request reads the same through a view: strings only, nothing from a non-object.
  const Json parsed = Json{{"a", "x"}, {"n", 1}};
  EXPECT_EQ(RequestView(parsed).string("a"), "x");
  EXPECT_EQ(RequestView(parsed).string("n"), std::nullopt);
  EXPECT_EQ(RequestView(Json::array({"a"})).string("a"), std::nullopt);
}

}  // namespace
}  // namespace tamber
