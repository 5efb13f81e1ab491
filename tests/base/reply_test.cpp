#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

#include "base/reply.h"

namespace tamber {
namespace {

TEST(JsonData, WritesWhatTheLibraryWritesOrAnEmptyObject) {
  const Json values[] = {
      Json::parse(R"({"ok":true,"file_bytes":17,"is_directory":false,"physical_data_bytes":null,)"
                  R"("entries":[{"name":"a","size":-1},[],{}],"expires":1765083600.25})"),
      Json{{"min", std::numeric_limits<std::int64_t>::min()},
           {"max", std::numeric_limits<std::uint64_t>::max()},
           {"tiny", 1e-300},
           {"whole", 3.0}},
      Json("quote \" back \\ slash / controls \b\f\n\r\t\x01\x1f\x7f end"),
      Json{{"caf\xc3\xa9", "na\xc3\xafve"}},  // non-ASCII: written by the library itself
      Json::array({"plain", Json::array({"\xe2\x82\xac"})}),
  };
  for (const Json& value : values) {
    EXPECT_EQ(jsonData(value), value.dump(-1, ' ', false, Json::error_handler_t::strict));
  }
  // Ill-formed UTF-8 anywhere, a key included, gives no JSON a reader would misread.
  EXPECT_EQ(jsonData(Json{{"ok", true}, {"text", "\xff"}}), "{}");
  EXPECT_EQ(jsonData(Json{{"\xc3", 1}}), "{}");
  EXPECT_EQ(jsonData(Json::binary({1, 2})), Json::binary({1, 2}).dump());

  // jsonText writes the same, but puts U+FFFD in place of what is not UTF-8.
  for (const Json& value : values) {
    EXPECT_EQ(jsonText(value), jsonData(value));
  }
  EXPECT_EQ(jsonText(Json{{"a\xc3", "b\xff"}}), "{\"a\xef\xbf\xbd\":\"b\xef\xbf\xbd\"}");
}

TEST(PlainJson, ReadsWhatTheParserReadsOrStandsAside) {
  for (const char* text : {R"({"a":[1,-2,{"b":null}],"c":true,"d":"x y","a":false})", " [ ] ",
                           "18446744073709551615", "-9223372036854775808", "{}"}) {
    ASSERT_TRUE(parsePlainJson(text).has_value()) << text;
    EXPECT_EQ(parsePlainJson(text)->dump(), Json::parse(text).dump()) << text;
    EXPECT_EQ(parsePlainJson(text)->is_number_unsigned(), Json::parse(text).is_number_unsigned());
  }
  for (const char* text :
       {"", "1.5", "1e3", "01", "-", "18446744073709551616", R"("\n")", "\"caf\xc3\xa9\"", "[1,]",
        "{\"a\":1} x", "tru",
        "[[[[[[[[[[[[[[[[[[[[[[[["
        "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]"
        "]]]]]]]]]]]]]]]]]]]]]]]]"}) {
    EXPECT_FALSE(parsePlainJson(text).has_value()) << text;
  }
}

TEST(ActionReply, WritesWhatJsonDataWritesForTheSameObject) {
  ActionReply reply;
  reply.setString("zeta", "quote \" back \\ controls \n\x01\x7f caf\xc3\xa9")
      .setInteger("bytes", std::numeric_limits<std::int64_t>::min())
      .setNull("physical_data_bytes")
      .setStrings("entries", {"a", "\xe2\x82\xac", "b\tc"})
      .setStrings("empty", {})
      .setBool("has_more", false)
      .setBool("has_more", true);  // set again: the last value stands
  const Json expected{{"ok", true},
                      {"zeta", "quote \" back \\ controls \n\x01\x7f caf\xc3\xa9"},
                      {"bytes", std::numeric_limits<std::int64_t>::min()},
                      {"physical_data_bytes", nullptr},
                      {"entries", {"a", "\xe2\x82\xac", "b\tc"}},
                      {"empty", Json::array()},
                      {"has_more", true}};
  EXPECT_EQ(reply.text(), jsonData(expected));
  EXPECT_EQ(reply.json(), expected);
  EXPECT_EQ(ActionReply().text(), R"({"ok":true})");

  // Ill-formed UTF-8 in any string gives what jsonData gives for it.
  EXPECT_EQ(ActionReply().setString("path", "/w/\xff").text(), "{}");
  EXPECT_EQ(ActionReply().setStrings("entries", {"ok", "\xc3"}).text(), "{}");
}

}  // namespace
}  // namespace tamber
