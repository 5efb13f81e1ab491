#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "access/grant.h"
#include "actions/executor.h"
#include "base/base64.h"
#include "base/failure.h"
#include "engine/mcp/edit.h"
#include "engine/mcp/tool_calls.h"
#include "support/temp_dir.h"

// The tools made of several broker requests, against the real executor in this process (the
// socket in between is tested with the real larkspan, in end_to_end_test.cpp).
namespace tamber::engine::mcp {
namespace {

using testing::readFile;
using testing::TempDir;

// The broker's actions under an edit grant of one folder, without the socket; `before` runs
// ahead of each request.
class LocalBroker : public ToolBackend {
 public:
  TempDir dir;
  std::string root = dir.mkdir("granted");
  GrantStore store;
  AgentGrant grant = store.add({root}, true, false, true);
  std::function<void(const Json&)> before = [](const Json&) {};

  Json broker(const Json& request) override {
    before(request);
    try {
      return performFileAction(request, grant).json();
    } catch (const BrokerFailure& failure) {
      return failureReply(failure.description());
    }
  }
  Json inventory(const Json&) override { return failureReply("no inventory"); }

  ToolReply run(const char* name, const Json& arguments) {
    return runTool(*findTool(name, false), arguments, *this);
  }
  std::string error(const char* name, const Json& arguments) {
    return std::string(stringMember(run(name, arguments).reply, "error").value_or(""));
  }
};

TEST(Edit, MatchesEachOldTextOnceInTheTextAsReadUnlessEveryOneIsReplaced) {
  struct Case {
    const char* text;
    std::vector<TextEdit> edits;
    const char* result;   // the text after, or
    const char* refusal;  // a part of the sentence
  };
  const Case cases[] = {
      {"a b c", {{"b", "B"}}, "a B c", ""},
      {"a b c", {{"x", "y"}}, "", "old_text \"x\" does not occur in the file"},
      {"a a", {{"a", "b"}}, "", "old_text \"a\" occurs 2 times in the file"},
      {"aaa", {{"aa", "b"}}, "", "occurs 2 times"},  // overlapping occurrences count
      {"a a", {{"a", "b", true}}, "b b", ""},
      {"aaaa", {{"aa", "b", true}}, "bb", ""},
      {"abc",
       {{"ab", "x"}, {"bc", "y"}},
       "",
       "The old_text \"ab\" and the old_text \"bc\" overlap"},
      {"abc", {{"b", "y"}, {"a", "x"}}, "xyc", ""},
      {"ab", {{"a", "b"}, {"b", "c"}}, "bc", ""},  // each against the text as read
      {"ab", {{"", "x"}}, "", "old_text is empty"},
      {"ab", {{"a", "a"}}, "", "The edits change nothing"},
  };
  for (const Case& c : cases) {
    const EditOutcome outcome = applyEdits(c.text, c.edits);
    EXPECT_EQ(outcome.text, c.result) << c.text;
    EXPECT_NE(outcome.refusal.find(c.refusal), std::string::npos)
        << c.text << ": " << outcome.refusal;
    EXPECT_EQ(outcome.refusal.empty(), *c.refusal == '\0') << c.text;
  }
}

TEST(Edit, ReplacesWithTheReadsDigestShowsADiffAndRefusesWhatItCannotProve) {
  LocalBroker broker;
  const std::string file = broker.dir.write("granted/notes.txt", "one\ntwo\nthree");
  const ToolReply edited = broker.run(
      "edit", {{"path", file}, {"edits", {{{"old_text", "three"}, {"new_text", "3\n"}}}}});
  ASSERT_TRUE(isSuccessReply(edited.reply)) << edited.reply;
  EXPECT_EQ(readFile(file), "one\ntwo\n3\n");
  EXPECT_EQ(readFile(edited.reply.at("backup_path")), "one\ntwo\nthree");
  EXPECT_EQ(edited.reply.at("diff"), "--- " + file + "\n+++ " + file +
                                         "\n@@ -1,3 +1,3 @@\n one\n two\n-three\n"
                                         "\\ No newline at end of file\n+3\n");
  EXPECT_NE(edited.texts.at(0).find(edited.reply.at("backup_path").get<std::string>()),
            std::string::npos);

  // A file changed between the edit's read and its replace is left as the other writer left it.
  broker.before = [&](const Json& request) {
    if (request.at("action") == "replace") {
      broker.dir.write("granted/notes.txt", "theirs\n");
    }
  };
  EXPECT_NE(
      broker.error("edit", {{"path", file}, {"edits", {{{"old_text", "3"}, {"new_text", "4"}}}}})
          .find("Source changed; no replacement made. The file changed after this edit "
                "read it; read it again"),
      std::string::npos);
  EXPECT_EQ(readFile(file), "theirs\n");
  broker.before = [](const Json&) {};

  broker.dir.write("granted/image.bin", "\xff\xfe text");
  EXPECT_NE(broker
                .error("edit", {{"path", broker.root + "/image.bin"},
                                {"edits", {{{"old_text", "text"}, {"new_text", "x"}}}}})
                .find("this file is not UTF-8"),
            std::string::npos);
  broker.dir.write("granted/big.txt", std::string(40000, 'x'));
  EXPECT_EQ(broker.error("edit", {{"path", broker.root + "/big.txt"},
                                  {"edits", {{{"old_text", "x"}, {"new_text", "y"}}}}}),
            "Content read is limited to 32 KiB; request metadata for larger files");
  EXPECT_EQ(readFile(broker.root + "/image.bin"), "\xff\xfe text");
}

TEST(ReadLines, ReturnsWholeLinesOfAnyFileAndTheDigestOfAWholeOne) {
  LocalBroker broker;
  std::string text;
  for (int line = 1; line <= 20000; ++line) {
    text += "line " + std::to_string(line) + "\n";
  }
  const std::string file = broker.dir.write("granted/long.txt", text);
  const ToolReply tail =
      broker.run("read", {{"path", file}, {"start_line", 19990}, {"line_count", 20}});
  EXPECT_EQ(tail.texts.at(0), text.substr(text.find("line 19990\n")));
  EXPECT_EQ(tail.reply.at("end_line"), 20000);
  EXPECT_EQ(tail.reply.at("has_more"), false);
  EXPECT_FALSE(tail.reply.contains("sha256"));
  EXPECT_EQ(broker.error("read", {{"path", file}, {"start_line", 20002}}),
            "start_line 20002 lies past the end of the file, which has 20000 lines.");

  const std::string small = broker.dir.write("granted/small.txt", "a\nb");
  const ToolReply whole = broker.run("read", {{"path", small}, {"line_count", 5}});
  EXPECT_EQ(whole.texts.at(0), "a\nb");
  EXPECT_EQ(whole.reply.at("end_line"), 2);
  EXPECT_TRUE(whole.reply.contains("sha256"));
  const std::string wide = broker.dir.write("granted/wide.txt", std::string(40000, 'w') + "\nz\n");
  const ToolReply cut = broker.run("read", {{"path", wide}, {"start_line", 1}});
  EXPECT_EQ(cut.texts.at(0), std::string(32768, 'w'));
  EXPECT_EQ(cut.reply.at("next_start_line"), 2);
}

TEST(Find, NamesWhatMatchesWithinItsBoundsAndNeverASecret) {
  LocalBroker broker;
  for (const char* folder : {"granted/docs/a/b/c", "granted/.ssh", "granted/keyrings"}) {
    broker.dir.mkdir(folder);
  }
  for (const char* file : {"granted/readme.md", "granted/docs/guide.md",
                           "granted/docs/a/b/c/deep.md", "granted/.ssh/notes.md",
                           "granted/keyrings/k.md", "granted/.env.md", "granted/docs/a/x.txt"}) {
    broker.dir.write(file, "");
  }
  const std::string root = broker.root;
  struct Case {
    Json arguments;
    std::vector<std::string> matches;
    bool truncated;
  };
  const Case cases[] = {
      {{{"pattern", "*.md"}}, {"/docs/a/b/c/deep.md", "/docs/guide.md", "/readme.md"}, false},
      {{{"pattern", "*"}, {"max_depth", 1}}, {"/docs", "/readme.md"}, true},
      {{{"pattern", "*.md"}, {"max_results", 1}}, {"/readme.md"}, true},
      {{{"pattern", "docs/*/x.txt"}}, {"/docs/a/x.txt"}, false},
  };
  for (const Case& c : cases) {
    Json arguments = c.arguments;
    arguments["path"] = root;
    const ToolReply found = broker.run("find", arguments);
    std::vector<std::string> expected;
    for (const std::string& match : c.matches) {
      expected.push_back(root + match);
    }
    EXPECT_EQ(found.reply.at("matches"), expected) << arguments;
    EXPECT_EQ(found.reply.at("truncated"), c.truncated) << arguments;
    EXPECT_EQ(found.texts.at(0).find(".ssh"), std::string::npos);
  }
  EXPECT_EQ(broker.error("find", {{"path", root + "/.ssh"}, {"pattern", "*"}}),
            "Credential and agent-private paths cannot be delegated");
}

}  // namespace
}  // namespace tamber::engine::mcp
