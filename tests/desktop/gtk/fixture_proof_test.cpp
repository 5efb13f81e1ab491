// The fixture-mode proof of the real tamber on a virtual X display: one run against the real
// engine that must leave a complete report, a snapshot of the page and exactly the audited
// agent requests, and a run whose proof fails at a step and must write no report.
#include <regex>
#include <sstream>

#include "base/reply.h"
#include "desktop/fake_http_server.h"
#include "desktop/gtk/gui_support.h"

namespace tamber::testing {
namespace {

// The fixture watchdog ends every fixture run 30 seconds after launch; a run still going
// well past that did not end by itself.
constexpr auto kWatchdogAndStart = 45s;

class FixtureProof : public TamberWindowTest {
 protected:
  void SetUp() override {
    TamberWindowTest::SetUp();
    temp_.mkdir("fixture/projects/old");
    temp_.write("fixture/notes.txt", "some notes\n");
    temp_.write("fixture/photo.raw", std::string(200000, 'p'));
    temp_.write("fixture/projects/plan.md", "# plan\n");
    temp_.write("fixture/projects/old/draft.md", "draft\n");
  }

  // A fixture run with the engine at `port`, which must end by itself, well before the
  // watchdog would end it (30 seconds after launch).
  ChildProcess startProof(int port) {
    started_ = std::chrono::steady_clock::now();
    return start(port, {{"TAMBER_FIXTURE_ROOT", fixture_}, {"TAMBER_NATIVE_PROOF", report_}},
                 errors_);
  }
  void expectEndedByItself(ChildProcess& tamber) {
    ASSERT_EQ(tamber.wait(kWatchdogAndStart), 0) << "tamber did not end by itself, or failed";
    EXPECT_LT(std::chrono::steady_clock::now() - started_, 30s);
  }

  std::chrono::steady_clock::time_point started_;
  std::string fixture_ = temp_ / "fixture";
  std::string report_ = temp_ / "proof.json";
  std::string errors_ = temp_ / "stderr.txt";
};

TEST_F(FixtureProof, RealWindowEngineAndAgentPathLeaveTheFullReportAndASnapshot) {
  ChildProcess tamber = startProof(freeLoopbackPort());
  const std::vector<Window> windows = windowsTitled("Tamber", 1, 30s);
  ASSERT_EQ(windows.size(), 1u) << "the Tamber window never showed";
  const XSession::Area window = x_.area(windows.front());
  expectEndedByItself(tamber);
  EXPECT_EQ(readFile(errors_).find("Native fixture failure"), std::string::npos)
      << readFile(errors_);

  ASSERT_TRUE(fs::exists(report_)) << readFile(errors_);
  Json report = Json::parse(readFile(report_));
  // When the page says it indexed, as it says it.
  EXPECT_TRUE(report["web_kit_rendered"]["indexed"].is_string());
  report["web_kit_rendered"].erase("indexed");
  // Three rows: the total, the fixture's one folder (projects) and its files beside it.
  EXPECT_EQ(report, Json::parse(R"({"passed":true,"native_window":true,
    "invitation_generated":true,"file_grants_default_none":true,"fixture_only":true,
    "os_auth_ui_verified":false,
    "web_kit_rendered":{"title":"Tamber","invite":true,"ordinary":true,"elevated":true,"rows":3},
    "agent_broker":{"cli_to_unix_socket":true,"view_read":true,"view_edit_denied":true,
      "copy_verified":true,"revoked_request_denied":true,"tokens_logged":false,
      "protected_elevated_path_denied_before_prompt":true}})"));

  // The page as the window showed it: the web view fills the window's width and all of its
  // height but the menu bar.
  const Picture shot = picture(report_ + ".png");
  EXPECT_EQ(shot.width, window.width) << "no readable PNG beside the report, or not the page's";
  EXPECT_LE(shot.height, window.height);
  EXPECT_GT(shot.height, window.height - 80);
  EXPECT_GT(shot.colours.size(), 4u) << "the snapshot is blank";

  // The window's broker audited exactly the two successful requests (what the fixture holds
  // after them is the proof's own tests'), and no token is anywhere the run wrote.
  std::vector<std::string> audited;
  std::istringstream lines(readFile(data_ + "/agent-audit.jsonl"));
  for (std::string line; std::getline(lines, line);) {
    audited.push_back(Json::parse(line)["action"]);
  }
  EXPECT_EQ(audited, (std::vector<std::string>{"read", "copy"}));
  const std::regex token("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  for (const std::string& file :
       {data_ + "/agent-audit.jsonl", report_, errors_, data_ + "/desktop-engine.log"}) {
    EXPECT_FALSE(std::regex_search(readFile(file), token)) << "a token in " << file;
  }
  expectQuitSequence(tamber);
}

TEST_F(FixtureProof, AFailedStepWritesNoReportAndEndsTheRunAtOnce) {
  // A page the real web view shows without the access controls: the proof stops before the
  // agent path. (How each later step fails is the proof's own tests'.)
  const std::string page = R"(<!doctype html><title>Tamber</title>
<p id="indexed">Indexed just now</p><table><tr class="entry"><td>notes.txt</td></tr></table>)";
  FakeHttpServer server([&](const std::string& path) {
    return httpReply(200, path == "/api/invite" ? R"({"product":"Tamber"})" : page, "text/html");
  });
  ChildProcess tamber = startProof(server.port());
  expectEndedByItself(tamber);
  EXPECT_NE(readFile(errors_).find("Native fixture failure: Native app must show the actual "
                                   "indexed UI and access controls\n"),
            std::string::npos)
      << readFile(errors_);
  EXPECT_FALSE(fs::exists(report_));
  EXPECT_FALSE(fs::exists(report_ + ".png"));
  EXPECT_FALSE(fs::exists(fixture_ + "/agent-fixture.txt"));
}

}  // namespace
}  // namespace tamber::testing
