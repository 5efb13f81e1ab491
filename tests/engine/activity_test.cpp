// What an agent session leaves for a person to review, through the real larkspan: the
// "Agent activity" view of the served page, `larkspan activity` and `larkspan undo`.
#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "activity/activity_fixture.h"
#include "activity/journal_writer.h"
#include "engine/larkspan_harness.h"

namespace tamber::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

TEST(Activity, ShowsAnAgentSessionAndUndoesItsChangesOnlyThroughTheCommandLineOrTheApp) {
  ActivitySession session;
  session.dir.write("work/notes.txt", "one\ntwo\n<three>\n");
  const Json read = session.ask("read", session / "notes.txt");
  ASSERT_TRUE(
      session.ask("replace", session / "notes.txt",
                  {{"text", "one\n2\n<three>\n"}, {"expected_sha256", read["sha256"]}})["ok"]);
  ASSERT_TRUE(session.ask("write_new", session / "<b>new<i>.txt", {{"text", "<i>hi</i>"}})["ok"]);
  const std::int64_t replaced = session.last("replace");
  const std::int64_t written = session.last("write_new");
  // A change made with administrator rights, as the broker records one.
  {
    GrantStore grants;
    ActivityRecord elevated;
    elevated.grant =
        std::make_shared<const AgentGrant>(grants.add({session.work}, true, true, true));
    elevated.at = WallClock::now();
    elevated.action = "mkdir";
    elevated.path = session / "root-made";
    elevated.proof = ChangeProof{};
    session.server->flushJournal();
    ActivityJournal journal(session.data);
    journal.record(std::move(elevated));
  }
  const std::int64_t elevatedId = written + 1;
  const std::string& data = session.data;

  // For scripts: every change with its id, the read folded into its line.
  const BinaryRun listed = runLarkspan({"--data", data, "activity"});
  ASSERT_EQ(listed.status, 0) << listed.err;
  EXPECT_THAT(listed.out, HasSubstr("Grant " + session.grant.id + " \u00B7 edit"));
  EXPECT_THAT(listed.out, HasSubstr("read 1 file\n"));
  EXPECT_THAT(listed.out, HasSubstr("#" + std::to_string(replaced) + "  "));
  EXPECT_THAT(listed.out, HasSubstr("(with administrator rights)"));
  const BinaryRun json =
      runLarkspan({"--data", data, "--json", "activity", "--grant", session.grant.id});
  ASSERT_EQ(json.status, 0) << json.err;
  const Json grant = Json::parse(json.out).at("grants").at(0);
  EXPECT_EQ(grant.at("id"), session.grant.id);
  EXPECT_EQ(grant.at("reads"), 1);
  EXPECT_EQ(grant.at("changes"), 2);
  EXPECT_EQ(grant.at("entries").at(1).at("id"), replaced);
  EXPECT_EQ(runLarkspan({"--data", data, "activity", "--grant", "nope"}).err,
            "larkspan: there is no grant nope in the activity journal\n");

  // The view, behind the page's secret like every route: the header counts today's changes,
  // every name is text, and a replace opens as its diff with an Undo that only the app runs.
  ServingEngine engine(data, session.work);
  EXPECT_THAT(engine.get("/").body,
              HasSubstr("<a id=\"activity-link\" class=\"activity-link\" href=\"/activity\">3 "
                        "changes by agents today</a>"));
  const std::string view = engine.get("/activity").body;
  EXPECT_THAT(view, HasSubstr("&lt;b&gt;new&lt;i&gt;.txt"));
  EXPECT_THAT(view, Not(HasSubstr("<b>new")));
  EXPECT_THAT(view, HasSubstr("<summary>read 1 file</summary>"));
  EXPECT_THAT(view, HasSubstr("href=\"/activity?change=" + std::to_string(replaced) + "\""));
  const std::string details = engine.get("/activity?change=" + std::to_string(replaced)).body;
  EXPECT_THAT(details,
              HasSubstr("<span class=\"kept\"> one</span><span class=\"removed\">-two</span>"
                        "<span class=\"added\">+2</span><span class=\"kept\"> &lt;three&gt;"
                        "</span>"));
  EXPECT_THAT(details, HasSubstr("data-undo-change=\"" + std::to_string(replaced) + "\""));
  EXPECT_THAT(engine.get("/activity?change=" + std::to_string(written)).body,
              HasSubstr("<pre class=\"created\">&lt;i&gt;hi&lt;/i&gt;</pre>"));
  const std::string elevatedDetails =
      engine.get("/activity?change=" + std::to_string(elevatedId)).body;
  EXPECT_THAT(elevatedDetails, HasSubstr("Made with administrator rights"));
  EXPECT_THAT(elevatedDetails, Not(HasSubstr("data-undo-change")));
  EXPECT_EQ(engine.get("/activity?change=999").status, 404);
  EXPECT_EQ(engine.request("POST", "/activity").status, 405);
  EXPECT_EQ(httpRequest(engine.port(), "GET", "/activity").status, 403);
  EXPECT_EQ(httpRequest(engine.port(), "GET", "/api/activity").status, 403);
  const std::string signature = Json::parse(engine.get("/api/activity").body).at("signature");

  // Undo for scripts, with a clear error for what it never does.
  const std::string replacedId = std::to_string(replaced);
  const BinaryRun undone = runLarkspan({"--data", data, "undo", replacedId});
  EXPECT_EQ(undone.status, 0) << undone.err;
  EXPECT_THAT(undone.out, HasSubstr("notes.txt has its previous content again"));
  EXPECT_EQ(readFile(session / "notes.txt"), "one\ntwo\n<three>\n");
  const struct Refusal {
    std::vector<std::string> arguments;
    int status;
    std::string error;
  } refusals[] = {
      {{"undo", replacedId}, 1, "larkspan: Change " + replacedId + " was already undone on "},
      {{"undo", "999"}, 1, "larkspan: There is no change 999 in the activity journal\n"},
      {{"undo", std::to_string(replaced - 1)},
       1,
       "larkspan: Entry " + std::to_string(replaced - 1) +
           " is a read, not a change; there is nothing to undo\n"},
      {{"undo", std::to_string(elevatedId)},
       1,
       "larkspan: Change " + std::to_string(elevatedId) + " was made with administrator rights"},
      {{"undo", "first"}, 2, "larkspan: undo needs a whole number"},
      {{"undo"}, 2, "larkspan: undo needs exactly one change id"},
      {{"inventory", "--grant", "x"}, 2, "larkspan: --grant belongs to activity"},
  };
  for (const Refusal& refusal : refusals) {
    std::vector<std::string> arguments{"--data", data};
    arguments.insert(arguments.end(), refusal.arguments.begin(), refusal.arguments.end());
    const BinaryRun run = runLarkspan(arguments);
    EXPECT_EQ(run.status, refusal.status) << run.err;
    EXPECT_TRUE(run.err.starts_with(refusal.error)) << run.err;
  }
  EXPECT_THAT(runLarkspan({"--data", data, "undo", replacedId}).err,
              HasSubstr("by the user, with larkspan undo\n"));
  EXPECT_THAT(engine.get("/activity?change=" + replacedId).body, HasSubstr("Undone on "));
  EXPECT_NE(Json::parse(engine.get("/api/activity").body).at("signature"), signature);
}

}  // namespace
}  // namespace tamber::testing
