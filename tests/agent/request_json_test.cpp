#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/request_json.h"
#include "base/reply.h"
#include "support/waiting.h"

namespace tamber {
namespace {

// Whatever an agent sends, the parser answers with a sentence that fits in a reply; nothing
// it sends may escape as another kind of error and end the process.
TEST(RequestJson, HostileTextBecomesASentenceNeverACrash) {
  const auto failureOf = [](const std::string& text) {
    return testing::failureOf([&] { parseRequestJson(text); });
  };
  for (const std::string& text :
       std::vector<std::string>{"1e99999", R"({"token":"x","n":-1e400})", "999999e9999999999999",
                                std::string("\"\xff\xfe\""), ""}) {
    const std::string sentence = failureOf(text);
    EXPECT_FALSE(sentence.empty()) << text;
    EXPECT_NE(jsonData(failureReply(sentence)), "{}") << sentence;
  }
  EXPECT_EQ(failureOf(std::string(600, '[')), "JSON text nests arrays or objects too deeply");
  EXPECT_EQ(parseRequestJson(R"({"token":"x","n":1e300})").at("token").get<std::string>(), "x");
}

}  // namespace
}  // namespace tamber
