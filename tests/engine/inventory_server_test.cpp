#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "engine/larkspan_harness.h"
#include "support/temp_dir.h"

namespace tamber::testing {
namespace {

size_t count(const std::string& text, const std::string& needle) {
  size_t found = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++found;
  }
  return found;
}

// The names of the ".entry" rows of a page, in page order, as they appear in its HTML; the
// total row is "(total)".
std::vector<std::string> rowNames(const std::string& page) {
  const std::string rowStart = "<tr class=\"entry ";
  const std::string nameStart = "<td class=\"name\">";
  std::vector<std::string> names;
  for (size_t at = page.find(rowStart); at != std::string::npos; at = page.find(rowStart, at + 1)) {
    const size_t classes = at + rowStart.size();
    if (page.compare(classes, 6, "total\"") == 0) {
      names.push_back("(total)");
      continue;
    }
    const size_t name = page.find(nameStart, classes) + nameStart.size();
    names.push_back(page.substr(name, page.find('<', name) - name));
  }
  return names;
}

// True when some tag of `page` carries an event handler or style attribute: markup that a
// strict policy would block, or that would need 'unsafe-inline'.
bool hasInlineAttributes(const std::string& page) {
  for (size_t open = page.find('<'); open != std::string::npos; open = page.find('<', open + 1)) {
    const std::string tag = page.substr(open, page.find('>', open) - open);
    for (size_t space = tag.find(' '); space != std::string::npos;
         space = tag.find(' ', space + 1)) {
      const std::string attribute = tag.substr(space + 1, tag.find('=', space) - space - 1);
      if (attribute == "style" ||
          (attribute.size() > 2 && attribute.compare(0, 2, "on") == 0 &&
           attribute.find_first_not_of("abcdefghijklmnopqrstuvwxyz") == std::string::npos)) {
        return true;
      }
    }
  }
  return false;
}

TEST(InventoryPage, OffersTheShellButtonsAndListsEntriesLargestFirst) {
  TempDir dir;
  const std::string root = dir.mkdir("root");
  dir.mkdir("root/Videos");
  dir.write("root/Videos/film.bin", std::string(3'000'000, 'v'));
  dir.mkdir("root/Documents");
  dir.write("root/Documents/letter.txt", std::string(200'000, 'd'));
  dir.write("root/notes.txt", "short");
  ServingEngine engine(dir / "data", root);
  engine.settledIndex();

  const HttpReply page = engine.get("/");
  ASSERT_EQ(page.status, 200);
  EXPECT_EQ(page.header("content-type"), "text/html; charset=utf-8");
  EXPECT_NE(page.body.find("<title>Tamber</title>"), std::string::npos);
  for (const char* id :
       {"invite-agent", "grant-ordinary", "grant-elevated", "manage-grants", "indexed"}) {
    EXPECT_EQ(count(page.body, std::string("id=\"") + id + "\""), 1u) << id;
  }
  EXPECT_EQ(rowNames(page.body),
            (std::vector<std::string>{"(total)", "Videos", "Documents", "notes.txt"}));
  EXPECT_NE(page.body.find(">3.0 MB<"), std::string::npos);
  EXPECT_NE(page.body.find(">5 bytes<"), std::string::npos);
  EXPECT_NE(page.body.find("Indexed 3 files in 2 folders"), std::string::npos);

  // The buttons reach the shell through the one bridge script, with the shell's names.
  EXPECT_NE(page.body.find("<script src=\"/bridge.js\""), std::string::npos);
  const HttpReply bridge = engine.get("/bridge.js");
  EXPECT_EQ(bridge.status, 200);
  EXPECT_EQ(bridge.header("content-type"), "text/javascript; charset=utf-8");
  for (const char* action : {"'invite'", "'grantOrdinary'", "'grantElevated'", "'manageGrants'",
                             "messageHandlers", "tamber"}) {
    EXPECT_NE(bridge.body.find(action), std::string::npos) << action;
  }
  for (const char* asset : {"/style.css", "/page.js", "/icon.svg"}) {
    EXPECT_EQ(engine.get(asset).status, 200) << asset;
  }
}

TEST(InventoryPage, ShowsTheRootRowWhateverTheIndexSays) {
  TempDir dir;
  // A root that does not exist: the page still has its one total row and says why.
  ServingEngine engine(dir / "data", dir / "missing");
  engine.settledIndex();
  const HttpReply page = engine.get("/");
  ASSERT_EQ(page.status, 200);
  EXPECT_EQ(rowNames(page.body), std::vector<std::string>{"(total)"});
  EXPECT_NE(page.body.find("Could not read this folder: No such file or directory"),
            std::string::npos);
}

TEST(InventoryPage, TreatsFileNamesAsTextWithAStrictPolicy) {
  TempDir dir;
  const std::string root = dir.mkdir("root");
  const std::string hostile = "<img src=x onerror=alert(1)>";
  dir.write("root/" + hostile, "x");
  dir.write("root/a\"b'c&d", "x");
  dir.write("root/latin1-\xe9\xff", "x");
  ServingEngine engine(dir / "data", root);
  const Json index = engine.settledIndex();

  const HttpReply page = engine.get("/");
  ASSERT_EQ(page.status, 200);
  EXPECT_EQ(page.body.find(hostile), std::string::npos);
  EXPECT_NE(page.body.find("&lt;img src=x onerror=alert(1)&gt;"), std::string::npos);
  EXPECT_NE(page.body.find("a&quot;b&#39;c&amp;d"), std::string::npos);
  EXPECT_NE(page.body.find("latin1-\xef\xbf\xbd\xef\xbf\xbd"), std::string::npos);
  // Nothing inline for the policy to allow: every script is a file, no handler attributes,
  // no style attributes.
  EXPECT_EQ(count(page.body, "<script"), count(page.body, "<script src=\"/"));
  EXPECT_FALSE(hasInlineAttributes(page.body));
  EXPECT_TRUE(hasInlineAttributes("<p><img src=x onerror=alert(1)></p>"));

  // The JSON keeps its shape with names that are neither HTML-safe nor UTF-8.
  std::vector<std::string> names;
  for (const Json& entry : index.at("entries")) {
    names.push_back(entry.at("name"));
  }
  EXPECT_NE(std::find(names.begin(), names.end(), hostile), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), "latin1-\xef\xbf\xbd\xef\xbf\xbd"), names.end());

  for (const char* path : {"/", "/api/index", "/nope"}) {
    const std::string policy = engine.get(path).header("content-security-policy");
    EXPECT_NE(policy.find("default-src 'self'"), std::string::npos) << path;
    EXPECT_NE(policy.find("script-src 'self'"), std::string::npos) << path;
    EXPECT_EQ(policy.find("unsafe"), std::string::npos) << path;
  }
}

TEST(InventoryServer, AnswersOnlyItsRoutesMethodsAndHost) {
  TempDir dir;
  const std::string root = dir.mkdir("root");
  ServingEngine engine(dir / "data", root);
  const int port = engine.port();

  for (const char* path :
       {"/nope", "/page.html", "/index.html", "/api", "/api/", "/style.css/x", "/../etc/passwd"}) {
    EXPECT_EQ(engine.get(path).status, 404) << path;
  }
  const std::pair<const char*, const char*> refused[] = {
      {"POST", "/"},  {"PUT", "/style.css"},    {"DELETE", "/api/index"}, {"PATCH", "/api/invite"},
      {"TRACE", "/"}, {"OPTIONS", "/api/scan"}, {"GET", "/api/scan"},
  };
  for (const auto& [method, path] : refused) {
    const HttpReply reply = httpRequest(port, method, path);
    EXPECT_EQ(reply.status, 405) << method << " " << path;
    EXPECT_FALSE(reply.header("allow").empty()) << method << " " << path;
  }
  const HttpReply head = httpRequest(port, "HEAD", "/");
  EXPECT_EQ(head.status, 200);
  EXPECT_TRUE(head.body.empty());

  // A page of another site that points its own name at this address reads nothing.
  EXPECT_EQ(
      httpRequest(port, "GET", "/api/index", {}, "attacker.example:" + std::to_string(port)).status,
      403);
  EXPECT_EQ(httpRequest(port, "GET", "/", {}, "localhost:" + std::to_string(port)).status, 200);
  // Only the page itself may start a scan.
  EXPECT_EQ(httpRequest(port, "POST", "/api/scan").status, 403);
  EXPECT_EQ(httpRequest(port, "POST", "/api/scan",
                        {"X-Tamber-Scan: 1", "Origin: http://attacker.example"})
                .status,
            403);
  EXPECT_EQ(httpRequest(port, "POST", "/api/scan", {"X-Tamber-Scan: 1"}).status, 202);

  const HttpReply invite = engine.get("/api/invite");
  ASSERT_EQ(invite.status, 200);
  const Json body = Json::parse(invite.body);
  EXPECT_EQ(body.at("product"), "Tamber");
  const LarkspanRun cli = runLarkspan({"--data", dir / "data", "invite", "--json"});
  EXPECT_EQ(body.at("text"), Json::parse(cli.out).at("text"));
}

// What `du` reports for the allocated size of `root`, or nullopt when du cannot run.
std::optional<uint64_t> duBytes(const std::string& root) {
  for (const char* du : {"/usr/bin/du", "/bin/du"}) {
    if (::access(du, X_OK) != 0) {
      continue;
    }
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
      return std::nullopt;
    }
    UniqueFd read(out[0]), write(out[1]);
    std::vector<std::string> arguments = {du, "-s", "-x", "-B1", root};
    std::vector<char*> argv = pointers(arguments);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, write.get(), 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, du, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    write.reset();
    if (failed != 0) {
      return std::nullopt;
    }
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = ::read(read.get(), buffer, sizeof buffer)) > 0;) {
      text.append(buffer, static_cast<size_t>(n));
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return std::stoull(text);
  }
  return std::nullopt;
}

// Every name below `root`, recursively, without following links.
std::vector<std::string> treeNames(const std::string& root) {
  std::vector<std::string> names;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(
           root, std::filesystem::directory_options::skip_permission_denied, error);
       it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    names.push_back(it->path().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

const Json& entryNamed(const Json& index, const std::string& name) {
  for (const Json& entry : index.at("entries")) {
    if (entry.at("name") == name) {
      return entry;
    }
  }
  static const Json none = Json::object();
  ADD_FAILURE() << "no entry " << name;
  return none;
}

TEST(InventoryIndex, CountsEachFileOnceAndNeverLeavesTheTree) {
  TempDir dir;
  const std::string root = dir.mkdir("root");
  const std::string outside = dir.mkdir("outside");
  dir.write("outside/huge.bin", std::string(2'000'000, 'o'));
  dir.mkdir("root/photos/2023");
  dir.write("root/photos/2023/a.jpg", std::string(10'000, 'a'));
  // One file under three names, two of them in another top-level folder.
  dir.mkdir("root/backup");
  ASSERT_EQ(::link((dir / "root/photos/2023/a.jpg").c_str(), (dir / "root/backup/a1").c_str()), 0);
  ASSERT_EQ(::link((dir / "root/photos/2023/a.jpg").c_str(), (dir / "root/backup/a2").c_str()), 0);
  dir.write("root/backup/b.txt", std::string(300, 'b'));
  // Links that would lead out of the tree or round in circles.
  ASSERT_EQ(::symlink("..", (dir / "root/photos/loop").c_str()), 0);
  ASSERT_EQ(::symlink(".", (dir / "root/self").c_str()), 0);
  ASSERT_EQ(::symlink(outside.c_str(), (dir / "root/photos/elsewhere").c_str()), 0);
  // A folder the engine may not read (unless it runs as root, who reads everything).
  dir.mkdir("root/locked");
  dir.write("root/locked/secret", std::string(500, 's'));
  const std::vector<std::string> before = treeNames(root);
  ASSERT_EQ(::chmod((dir / "root/locked").c_str(), 0), 0);
  const bool superuser = ::geteuid() == 0;

  ServingEngine engine(dir / "data", root);
  const Json index = engine.settledIndex();
  ::chmod((dir / "root/locked").c_str(), 0700);

  const Json& total = index.at("total");
  // a.jpg once, b.txt, three links, and the locked file only when it could be read.
  EXPECT_EQ(total.at("files"), superuser ? 6 : 5);
  EXPECT_EQ(total.at("logical_bytes"), superuser ? 10'800 : 10'300);
  EXPECT_EQ(total.at("folders"), 4);  // photos, 2023, backup, locked
  EXPECT_EQ(total.at("unreadable_folders"), superuser ? 0 : 1);
  EXPECT_EQ(entryNamed(index, "locked").at("unreadable_folders"), superuser ? 0 : 1);
  EXPECT_EQ(entryNamed(index, "self").at("kind"), "link");

  uint64_t entriesAllocated = 0;
  for (const Json& entry : index.at("entries")) {
    entriesAllocated += entry.at("allocated_bytes").get<uint64_t>();
  }
  EXPECT_LE(entriesAllocated, total.at("allocated_bytes").get<uint64_t>());
  EXPECT_LT(total.at("allocated_bytes").get<uint64_t>(), 1'000'000u);  // huge.bin stayed out
  // du counts the same way: each inode once, no links followed, one file system.
  ::chmod((dir / "root/locked").c_str(), 0);
  if (const std::optional<uint64_t> du = duBytes(root)) {
    EXPECT_EQ(total.at("allocated_bytes"), *du);
  }
  ::chmod((dir / "root/locked").c_str(), 0700);
  EXPECT_EQ(treeNames(root), before);
}

TEST(InventoryIndex, ShowsTheKeptResultAtOnceAfterARestart) {
  TempDir dir;
  const std::string data = dir / "data";
  const std::string root = dir.mkdir("root");
  dir.write("root/first.bin", std::string(4'000, 'f'));

  Json first;
  {
    ServingEngine engine(data, root);
    first = engine.settledIndex();
    EXPECT_EQ(engine.terminate(), 0);
  }
  struct stat kept {};
  ASSERT_EQ(::stat((data + "/larkspan-index.json").c_str(), &kept), 0);
  EXPECT_EQ(kept.st_mode & 0777, 0600u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(data),
                          std::filesystem::directory_iterator()),
            1)
      << "a temporary file was left behind";

  // The tree changes while the engine is away. A restart within the interval shows the kept
  // result straight away instead of rescanning; "Scan again" brings the change in.
  dir.write("root/second.bin", std::string(6'000, 's'));
  ServingEngine engine(data, root);
  const Json restarted = Json::parse(engine.get("/api/index").body);
  EXPECT_EQ(restarted.at("total"), first.at("total"));
  EXPECT_EQ(restarted.at("finished_at"), first.at("finished_at"));
  EXPECT_EQ(restarted.at("indexing"), false);
  EXPECT_NE(engine.get("/").body.find(">4.0 kB<"), std::string::npos);

  const LarkspanRun inventory = runLarkspan({"--data", data, "--json", "inventory"});
  EXPECT_EQ(inventory.status, 0);
  EXPECT_EQ(Json::parse(inventory.out).at("total"), first.at("total"));

  ASSERT_EQ(httpRequest(engine.port(), "POST", "/api/scan", {"X-Tamber-Scan: 1"}).status, 202);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  Json rescanned;
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    rescanned = engine.settledIndex();
  } while (rescanned.at("total").at("files") == 1 && std::chrono::steady_clock::now() < deadline);
  EXPECT_EQ(rescanned.at("total").at("files"), 2);
  EXPECT_EQ(rescanned.at("total").at("logical_bytes"), 10'000);
  EXPECT_EQ(engine.terminate(), 0);
}

}  // namespace
}  // namespace tamber::testing
