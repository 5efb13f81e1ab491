// The real tamber executable on a virtual X display: its engine, web view, bridge, alerts and
// quit sequence, seen from outside as a person (and a session manager) would.
#include "activity/journal.h"
#include "agent/agent_client.h"
#include "agent/agent_server.h"
#include "desktop/fake_http_server.h"
#include "desktop/gtk/gui_support.h"

namespace tamber::testing {
namespace {

using DesktopWindow = TamberWindowTest;

TEST_F(DesktopWindow, UsesAServerAnsweringItsProductWithAnErrorStatusAndItsMainFrameOnly) {
  const char* page = R"(<!doctype html><title>Tamber</title>
<iframe src="/sub"></iframe>
<script>
  const tamber = window.webkit.messageHandlers.tamber;
  tamber.postMessage('grantOrdinary');
  tamber.postMessage({ action: 7 });
  tamber.postMessage({ action: 'GrantOrdinary' });
  setTimeout(() => tamber.postMessage({ action: 'manageGrants' }), 2500);
</script>)";
  const char* subframe = R"(<!doctype html><script>
  try { window.webkit.messageHandlers.tamber.postMessage({ action: 'grantOrdinary' }); }
  catch (error) {}
</script>)";
  FakeHttpServer engine([&](const std::string& path) {
    if (path == "/api/invite") {
      return httpReply(500, R"({"product":"Tamber"})");
    }
    return httpReply(200, path == "/sub" ? subframe : page, "text/html");
  });
  ChildProcess tamber = start(engine.port());
  // A message that opened a dialog would have kept the later one from opening its own, and
  // the window and that dialog are all there is.
  EXPECT_EQ(windowsTitled("Agent permissions").size(), 1u);
  EXPECT_EQ(x_.windows().size(), 2u) << "another window opened";
  // The server that answered was used as it is: no engine of our own.
  EXPECT_FALSE(fs::exists(data_ + "/desktop-engine.log"));
  const std::vector<std::string> paths = engine.paths();
  EXPECT_EQ(paths.front(), "/api/invite");
  EXPECT_NE(std::find(paths.begin(), paths.end(), "/sub"), paths.end());

  // The session ending quits as closing the window does, open dialog and all.
  tamber.signal(SIGTERM);
  expectQuitSequence(tamber);
}

TEST_F(DesktopWindow, NeverLoadsAnotherProductsPageAndGivesUpAfterAttemptThirty) {
  FakeHttpServer other([](const std::string&) { return httpReply(200, R"({"product":"Other"})"); });
  ChildProcess tamber = start(other.port());
  EXPECT_EQ(windowsTitled("Engine unavailable").size(), 1u);
  EXPECT_TRUE(fs::exists(data_ + "/desktop-engine.log"));  // ours was started, and failed
  // 31 probes 0.3 s apart, and the other product's page was never asked for.
  EXPECT_EQ(other.paths(), std::vector<std::string>(31, "/api/invite"));
  tamber.signal(SIGINT);
  EXPECT_EQ(tamber.wait(15s), 0);
}

TEST_F(DesktopWindow, SecondCopyStopsAtTheLockAndLeavesTheFirstCopysSocket) {
  fs::create_directories(data_);
  UniqueFd lock(::open((data_ + "/native.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  ASSERT_EQ(::flock(lock.get(), LOCK_EX | LOCK_NB), 0);
  temp_.write("data/agent.sock", "the first copy's");
  ChildProcess tamber = start(freeLoopbackPort());
  EXPECT_EQ(windowsTitled("Tamber could not start").size(), 1u);
  tamber.signal(SIGTERM);
  EXPECT_EQ(tamber.wait(15s), 1);
  EXPECT_EQ(readFile(data_ + "/agent.sock"), "the first copy's");
}

TEST_F(DesktopWindow, OpensAFolderFromItsTreemapWithThePagesSecret) {
  // A home whose space is nearly all in Projects/site, whose space is in three unequal parts.
  // The page's treemap shows two levels: Projects in the first colour, divided into its own
  // largest subfolders in lighter and darker shades of it; Projects/site's picture gives its
  // largest part the first colour, the next ones the second and third. Indexed before the app
  // starts, so that the page shows it at once.
  for (const auto& [name, bytes] :
       {std::pair{"Projects/site/a", 3'000'000}, std::pair{"Projects/site/b", 2'000'000},
        std::pair{"Projects/site/c", 1'500'000}, std::pair{"small", 100}}) {
    temp_.mkdir("home/" + std::string(name));
    temp_.write("home/" + std::string(name) + "/data", std::string(bytes, 'x'));
  }
  ASSERT_EQ(runLarkspan({"--data", data_, "--root", temp_ / "home", "index"}).status, 0);
  const std::string page = temp_ / "page.png";
  ChildProcess tamber = start(freeLoopbackPort(), {{"TAMBER_PAGE_SNAPSHOT", page}});
  constexpr uint32_t kFirst = 0x4f9a85, kSecond = 0x5b84b1, kThird = 0xc07a4f;
  constexpr uint32_t kFirstLighter = 0x6fac9b;  // kFirst 18 % of the way to white

  // Each finished load leaves a snapshot of the page.
  const auto loaded = [&](const std::string& name) {
    EXPECT_TRUE(waitFor([&] { return fs::exists(page); }, 60s)) << "no page loaded for " << name;
    std::rename(page.c_str(), (temp_ / name).c_str());
    return picture(temp_ / name);
  };
  // The start page: the engine served it to the window (a page without the secret has no
  // picture), and Projects/site, inside Projects, fills nearly all of the picture.
  const Picture start = loaded("start-page.png");
  EXPECT_GT(start.pixels(kFirstLighter), 100'000);
  EXPECT_LT(start.pixels(kSecond), 5'000);

  // A click in the picture opens the folder drawn there, Projects/site: a new page whose
  // picture shows its three parts.
  const std::vector<Window> window = windowsTitled("Tamber");
  ASSERT_EQ(window.size(), 1u);
  const XSession::Area where = x_.area(window.front());
  x_.click(where.x + 640, where.y + 420);
  const Picture folder = loaded("folder-page.png");
  EXPECT_GT(folder.pixels(kFirst), 60'000);
  EXPECT_GT(folder.pixels(kSecond), 40'000);
  EXPECT_GT(folder.pixels(kThird), 30'000);
}

TEST_F(DesktopWindow, ShowsAnAgentsReplaceAsADiffAndUndoesItOnlyAfterTheNativeQuestion) {
  // An agent session through the broker on Tamber's data directory: a read, then a replace.
  fs::create_directories(data_);
  ::chmod(data_.c_str(), 0700);
  const std::string work = temp_.mkdir("work");
  temp_.write("work/notes.txt", "first line\nsecond line\nthird line\n");
  {
    GrantStore grants;
    const AgentGrant grant = grants.add({work}, /*edit=*/true, false, true);
    AgentServer broker(data_, grants, nullptr);
    broker.start();
    const auto ask = [&](Json request) {
      request["token"] = grant.token;
      return Json::parse(sendAgentRequest(broker.socketPath(), jsonData(request)));
    };
    const Json read = ask({{"action", "read"}, {"path", work + "/notes.txt"}});
    ASSERT_TRUE(ask({{"action", "replace"},
                     {"path", work + "/notes.txt"},
                     {"text", "first line\nthe agent's line\nthird line\n"},
                     {"expected_sha256", read["sha256"]}})["ok"]);
  }  // the broker's journal is written when it stops

  const std::string page = temp_ / "page.png";
  ChildProcess tamber = start(freeLoopbackPort(), {{"TAMBER_PAGE_SNAPSHOT", page}});
  const std::vector<Window> window = windowsTitled("Tamber");
  ASSERT_EQ(window.size(), 1u);
  const auto loaded = [&](const std::string& name) {
    EXPECT_TRUE(waitFor([&] { return fs::exists(page); }, 60s)) << "no page loaded for " << name;
    std::rename(page.c_str(), (temp_ / name).c_str());
    return temp_ / name;
  };
  // Clicks the middle of what shows `rgb` in the snapshot `shot` of the page.
  const auto clickOn = [&](const std::string& shot, uint32_t rgb) {
    const std::optional<XSession::Area> box = colourBox(shot, rgb);
    ASSERT_TRUE(box) << "nothing of colour " << std::hex << rgb << " in " << shot;
    const XSession::Area where = x_.area(window.front());
    const int viewTop = where.height - picture(shot).height;  // below the menu bar
    x_.click(where.x + box->x + box->width / 2, where.y + viewTop + box->y + box->height / 2);
  };
  constexpr uint32_t kActivityLink = 0x5b4aa8, kReplaceBadge = 0xece3f7, kUndoButton = 0xb4561f;
  constexpr uint32_t kRemovedLine = 0xfbdcd9, kAddedLine = 0xd3f0d9;

  // The page header links to the view; the view lists the replace; its details show the diff.
  clickOn(loaded("start.png"), kActivityLink);
  clickOn(loaded("activity.png"), kReplaceBadge);
  const std::string change = loaded("change.png");
  EXPECT_GT(picture(change).pixels(kRemovedLine), 2'000) << "no removed line in the diff";
  EXPECT_GT(picture(change).pixels(kAddedLine), 2'000) << "no added line in the diff";

  // Undo asks first, in a native dialog; the file changes only when the person says so.
  clickOn(change, kUndoButton);
  const std::vector<Window> question = windowsTitled("Undo the agent's change?", 1, 15s);
  ASSERT_EQ(question.size(), 1u) << "no question before the undo";
  EXPECT_EQ(readFile(work + "/notes.txt"), "first line\nthe agent's line\nthird line\n");
  x_.pressKeys(question.front(), {XK_Return});
  const std::string undone = loaded("undone.png");
  EXPECT_EQ(readFile(work + "/notes.txt"), "first line\nsecond line\nthird line\n");
  EXPECT_EQ(picture(undone).pixels(kUndoButton), 0) << "the view still offers Undo";
  const std::unique_ptr<Journal> journal = Journal::open(data_, false);
  ASSERT_TRUE(journal);
  EXPECT_EQ(journal->entry(2)->undoneBy, "the user, in the Tamber window");

  tamber.signal(SIGTERM);
  expectQuitSequence(tamber);
}

}  // namespace
}  // namespace tamber::testing
