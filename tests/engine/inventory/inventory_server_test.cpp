#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/text.h"
#include "engine/inventory/index_records.h"
#include "engine/inventory/page.h"
#include "engine/inventory/text_format.h"
#include "engine/larkspan_harness.h"
#include "platform/fd_io.h"

namespace tamber::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::AllOf;
using ::testing::AnyOf;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

// The text of the first cell of each ".entry" row of a page, in page order ("Total" first),
// links left out.
std::vector<std::string> rowNames(const std::string& page) {
  static const std::regex row(
      R"re(<tr class="entry [a-z]+"><td class="name">(?:<a [^>]*>)?([^<]*))re");
  std::vector<std::string> names;
  for (std::sregex_iterator it(page.begin(), page.end(), row), end; it != end; ++it) {
    names.push_back((*it)[1]);
  }
  return names;
}

std::vector<std::string> largestPaths(const Json& report) {
  std::vector<std::string> paths;
  for (const Json& file : report.at("largest_files")) {
    paths.push_back(file.at("path"));
  }
  return paths;
}

// The page's buttons and their bridge to the window are proven in the real window by the
// fixture proof (tests/desktop/gtk).
TEST(InventoryPage, OpensEveryFolderAsTheInterfaceAndTheCommandLineShowIt) {
  TempDir dir;
  const std::string root = dir.mkdir("root");
  const std::string data = dir / "data";
  dir.mkdir("root/Videos");
  dir.write("root/Videos/film.bin", std::string(3'000'000, 'v'));
  dir.write("root/Videos/small.txt", "s");
  dir.mkdir("root/Documents/2023");
  dir.write("root/Documents/letter.txt", std::string(200'000, 'd'));
  dir.write("root/Documents/2023/old.txt", "old");
  for (int i = 0; i < 20; ++i) {
    dir.write("root/Documents/2023/note-" + std::to_string(i), "n");
  }
  dir.write("root/notes.txt", "short");
  ServingEngine engine(data, root);
  engine.settledIndex();

  const HttpReply page = engine.get("/");
  ASSERT_EQ(page.status, 200);
  EXPECT_EQ(rowNames(page.body), (std::vector<std::string>{"Total", "Videos", "Documents",
                                                           "Files directly in this folder"}));
  EXPECT_THAT(page.body, AllOf(HasSubstr(">3.0 MB<"), HasSubstr("Indexed 25 files in 3 folders"),
                               HasSubstr("<a href=\"/?path=Documents\">Documents</a>")));

  // One level down: the subfolder and the folder's own files by size, and the twenty largest
  // files below it. The page, the HTTP interface and the command line agree.
  const HttpReply documents = engine.get("/?path=Documents");
  EXPECT_EQ(rowNames(documents.body),
            (std::vector<std::string>{"Total", "Files directly in this folder", "2023"}));
  EXPECT_THAT(documents.body, HasSubstr(">2023/old.txt<"));
  const Json api = Json::parse(engine.get("/api/folder?path=Documents").body);
  EXPECT_EQ(api.at("path"), root + "/Documents");
  const std::vector<std::string> largest = largestPaths(api);
  ASSERT_EQ(largest.size(), 20u);
  EXPECT_EQ(std::vector(largest.begin(), largest.begin() + 2),
            (std::vector<std::string>{"letter.txt", "2023/old.txt"}));
  for (const std::string& folder : {std::string("Documents"), root + "/Documents/"}) {
    const BinaryRun cli = runLarkspan({"--data", data, "--json", "inventory", "--path", folder});
    EXPECT_EQ(cli.status, 0) << cli.err;
    EXPECT_EQ(Json::parse(cli.out), api) << folder;
  }
  // The picture's request: the largest subfolders, each with its own largest.
  const Json picture = Json::parse(engine.get("/api/folder?children=2&inner=2").body);
  const Json old = Json::parse(engine.get("/api/folder?path=Documents/2023").body);
  EXPECT_FALSE(picture.at("children").at(0).contains("children"));  // Videos has none
  EXPECT_EQ(picture.at("children").at(1).at("children"),
            Json::array(
                {{{"name", "2023"}, {"allocated_bytes", old.at("usage").at("allocated_bytes")}}}));
  // A folder of a few files lists its large ones only.
  EXPECT_EQ(largestPaths(Json::parse(engine.get("/api/folder?path=Videos").body)),
            std::vector<std::string>{"film.bin"});

  // A folder that is not in the index (a file, a way out, a path outside) gets one sentence.
  for (const std::string folder : {"Documents/letter.txt", "Documents/../../x", "/etc"}) {
    const std::string sentence =
        "There is no folder \"" + folder + "\" in the inventory of " + root + ".";
    const HttpReply missing = engine.get("/api/folder?path=" + folder);
    EXPECT_EQ(missing.status, 404) << folder;
    EXPECT_EQ(Json::parse(missing.body), Json({{"error", sentence}})) << folder;
    EXPECT_EQ(engine.get("/?path=" + folder).status, 404) << folder;
    const BinaryRun cli = runLarkspan({"--data", data, "inventory", "--path", folder});
    EXPECT_EQ(cli.status, 1);
    EXPECT_EQ(cli.err, "larkspan: " + sentence + "\n");
  }
}

TEST(InventoryPage, TreatsFileNamesAsTextWithAStrictPolicy) {
  TempDir dir;
  const std::string root = dir.mkdir("root");
  const std::string hostile = "<img src=x onerror=alert(1)>";
  dir.mkdir("root/" + hostile);
  // Large enough to be listed among the largest files.
  dir.write("root/" + hostile + "/a\"b'c&d", std::string(1'500'000, 'x'));
  dir.write("root/latin1-\xe9\xff", std::string(1'100'000, 'x'));
  ServingEngine engine(dir / "data", root);
  // The JSON keeps its shape with names that are neither HTML-safe nor UTF-8.
  EXPECT_EQ(largestPaths(engine.settledIndex()),
            (std::vector<std::string>{hostile + "/a\"b'c&d", "latin1-\uFFFDe9\uFFFDff"}));

  const std::string page = engine.get("/").body;
  const std::string link = "/?path=%3Cimg%20src%3Dx%20onerror%3Dalert%281%29%3E";
  EXPECT_THAT(page,
              AllOf(Not(HasSubstr(hostile)), HasSubstr("&lt;img src=x onerror=alert(1)&gt;"),
                    HasSubstr("a&quot;b&#39;c&amp;d"), HasSubstr("latin1-\xef\xbf\xbd\xef\xbf\xbd"),
                    HasSubstr("href=\"" + link + "\"")));
  EXPECT_EQ(engine.get(link).status, 200);
  // Nothing inline for the policy to allow: every script is a file, no handler attributes,
  // no style attributes.
  const std::regex inlineCode(R"re(<script(?! src="/)|<[^>]* (on[a-z]+|style)=)re");
  EXPECT_TRUE(std::regex_search("<p><img src=x onerror=alert(1)></p>", inlineCode));
  EXPECT_FALSE(std::regex_search(page, inlineCode));
  for (const char* path : {"/", "/api/folder", "/nope", "/api/invite"}) {
    EXPECT_THAT(engine.get(path).header("content-security-policy"),
                AllOf(HasSubstr("default-src 'self'"), HasSubstr("script-src 'self'"),
                      Not(HasSubstr("unsafe"))))
        << path;
  }
}

// The result of the MCP tool "inventory" for `path` through `larkspan mcp`, as a harness calls
// it; null when no answer came within ten seconds. Standard input stays open until then: a
// server may drop the calls of a client that has gone.
Json mcpInventory(const std::string& data, const std::string& path) {
  ChildProcess server(
      {larkspanBinary(), "--data", data, "mcp"},
      {{}, ChildStream::toPipe(), ChildStream::toPipe(), ChildStream::toNullDevice()});
  const Json call = {{"jsonrpc", "2.0"},
                     {"id", 2},
                     {"method", "tools/call"},
                     {"params", {{"name", "inventory"}, {"arguments", {{"path", path}}}}}};
  writeAll(server.input().get(),
           R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":)"
           R"("2025-06-18","capabilities":{},"clientInfo":{"name":"test","version":"1"}}})"
           "\n" +
               call.dump() + "\n");
  ::fcntl(server.output().get(), F_SETFL, O_NONBLOCK);
  std::string out;
  waitFor(
      [&] {
        char buffer[65536];
        for (ssize_t n; (n = ::read(server.output().get(), buffer, sizeof buffer)) > 0;) {
          out.append(buffer, static_cast<size_t>(n));
        }
        return out.ends_with('\n') && out.find("{\"id\":2") != std::string::npos;
      },
      std::chrono::seconds(10));
  Json answer =
      Json::parse(out.substr(std::min(out.find("{\"id\":2"), out.size())), nullptr, false);
  return answer.is_object() ? answer["result"]["structuredContent"] : Json();
}

// Two folders whose names are not UTF-8 look alike once shown ("x\uFFFD"): each is reached by
// the address of its own bytes through the interface, the page, the command line and the MCP
// tool. A path that names nothing keeps its sentence, and the page shows no raw bytes.
TEST(InventoryNames, ReachEachFolderByTheAddressOfItsOwnBytes) {
  TempDir dir;
  const std::string root = dir.mkdir("root");
  const std::string data = dir / "data";
  dir.mkdir("root/x\xff");
  dir.write("root/x\xff/big", std::string(5'000'000, 'b'));
  dir.mkdir("root/x\xfe");
  dir.write("root/x\xfe/small", std::string(12'000, 's'));
  ServingEngine engine(data, root);
  const Json index = engine.settledIndex();
  std::vector<std::string> names;
  for (const Json& child : index.at("children")) {
    names.push_back(child.at("name"));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"x\uFFFDff", "x\uFFFDfe"}));
  const std::string page = engine.get("/").body;
  EXPECT_EQ(rowNames(page), (std::vector<std::string>{"Total", "x\uFFFD", "x\uFFFD"}));

  for (const auto& [address, size] : {std::pair{"x\uFFFDff", 5'000'000}, {"x\uFFFDfe", 12'000}}) {
    const std::string query = "?path=" + percentEncoded(address);
    EXPECT_THAT(page, HasSubstr("href=\"/" + query + "\""));
    const Json api = Json::parse(engine.get("/api/folder" + query).body);
    EXPECT_EQ(api.at("path"), root + "/" + address);
    EXPECT_EQ(api.at("usage").at("logical_bytes"), size);
    EXPECT_EQ(
        Json::parse(runLarkspan({"--data", data, "--json", "inventory", "--path", address}).out),
        api);
    EXPECT_EQ(mcpInventory(data, root + "/" + address).value("path", ""), root + "/" + address);
    EXPECT_THAT(engine.get("/" + query).body,
                HasSubstr("data-path=\"" + engine::htmlEscaped(address) + "\""));
  }
  // The name's own bytes, as a shell gives them, name it too.
  EXPECT_EQ(Json::parse(engine.get("/api/folder?path=x%FF").body).at("usage").at("logical_bytes"),
            5'000'000);
  EXPECT_EQ(runLarkspan({"--data", data, "inventory", "--path", root + "/x\xfe"}).status, 0);

  // A folder that is not there: the sentence names it by its address, and so does the page.
  const std::string sentence = "There is no folder \"x\uFFFDfd\" in the inventory of " + root + ".";
  const HttpReply missing = engine.get("/api/folder?path=x%FD");
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(Json::parse(missing.body), Json({{"error", sentence}}));
  const HttpReply missingPage = engine.get("/?path=x%FD");
  EXPECT_EQ(missingPage.status, 404);
  EXPECT_TRUE(isValidUtf8(missingPage.body));
  EXPECT_THAT(missingPage.body, HasSubstr(engine::htmlEscaped(sentence)));
  EXPECT_EQ(runLarkspan({"--data", data, "inventory", "--path", "x\xfd"}).err,
            "larkspan: " + sentence + "\n");
}

TEST(InventoryServer, AnswersOnlyItsRoutesMethodsAndHost) {
  TempDir dir;
  // A root that does not exist: the page still has its one total row, and says why.
  ServingEngine engine(dir / "data", dir / "missing");
  engine.settledIndex();
  const HttpReply page = engine.get("/");
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(rowNames(page.body), std::vector<std::string>{"Total"});
  EXPECT_THAT(page.body, HasSubstr("Could not read this folder: No such file or directory"));

  for (const char* path :
       {"/nope", "/page.html", "/index.html", "/api", "/api/", "/style.css/x", "/../etc/passwd"}) {
    EXPECT_EQ(engine.get(path).status, 404) << path;
  }
  const std::pair<const char*, const char*> refused[] = {
      {"POST", "/"},  {"PUT", "/style.css"},    {"DELETE", "/api/folder"}, {"PATCH", "/api/invite"},
      {"TRACE", "/"}, {"OPTIONS", "/api/scan"}, {"GET", "/api/scan"},
  };
  for (const auto& [method, path] : refused) {
    const HttpReply reply = engine.request(method, path);
    EXPECT_EQ(reply.status, 405) << method << " " << path;
    EXPECT_FALSE(reply.header("allow").empty()) << method << " " << path;
  }
  const HttpReply head = engine.request("HEAD", "/");
  EXPECT_EQ(head.status, 200);
  EXPECT_TRUE(head.body.empty());

  // A page of another site that points its own name at this address reads nothing.
  const std::string port = std::to_string(engine.port());
  EXPECT_EQ(engine.request("GET", "/api/invite", {}, "attacker.example:" + port).status, 403);
  EXPECT_EQ(engine.request("GET", "/", {}, "localhost:" + port).status, 200);
  // Only the page itself may start a scan.
  const std::string elsewhere = "Origin: http://attacker.example";
  EXPECT_EQ(engine.request("POST", "/api/scan").status, 403);
  EXPECT_EQ(engine.request("POST", "/api/scan", {"X-Tamber-Scan: 1", elsewhere}).status, 403);
  EXPECT_EQ(engine.request("POST", "/api/scan", {"X-Tamber-Scan: 1"}).status, 202);
  // The identity probe names the product.
  EXPECT_EQ(Json::parse(httpRequest(engine.port(), "GET", "/api/invite").body).at("product"),
            "Tamber");
}

TEST(InventoryServer, KeepsEverythingButTheProbeFromOtherUsers) {
  TempDir dir;
  const std::string root = dir.mkdir("root");
  dir.mkdir("root/Private plans");
  const std::string data = dir / "data";
  ServingEngine engine(data, root);
  engine.settledIndex();
  const int port = engine.port();
  const std::string refusal =
      "This inventory is private to the user who runs it; open it in the Tamber app.\n";

  // The secret: created by the engine, 0600, in a 0700 data directory.
  struct stat secret {};
  ASSERT_EQ(::lstat((data + "/page-secret").c_str(), &secret), 0);
  EXPECT_EQ(secret.st_mode & (S_IFMT | 07777), S_IFREG | 0600u);
  ASSERT_EQ(::stat(data.c_str(), &secret), 0);
  EXPECT_EQ(secret.st_mode & 07777, 0700u);
  const std::string cookie = secretCookie(data);
  ASSERT_TRUE(std::regex_match(cookie, std::regex("Cookie: larkspan_page=[0-9a-f]{64}")));
  std::string wrong = cookie;
  wrong.back() = wrong.back() == '0' ? '1' : '0';

  // Without the secret every route but the probe answers one sentence, whatever is asked.
  const std::vector<std::vector<std::string>> strangers = {
      {},
      {wrong},
      {"Cookie: other=1; larkspan_page=" + cookie.substr(cookie.find('=') + 1, 63)},
      {"Cookie: larkspan_page_x=" + cookie.substr(cookie.find('=') + 1)},
      {"Authorization: Bearer " + cookie.substr(cookie.find('=') + 1)},
  };
  for (const std::vector<std::string>& headers : strangers) {
    for (const char* path :
         {"/", "/?path=Private%20plans", "/style.css", "/page.js", "/api/folder",
          "/api/folder?path=Private%20plans", "/api/status", "/nope", "/api/invite/x", "/activity",
          "/activity?change=1", "/api/activity", "/activity.js"}) {
      const HttpReply reply = httpRequest(port, "GET", path, headers);
      EXPECT_EQ(reply.status, 403) << path;
      EXPECT_EQ(reply.body, refusal) << path;
    }
    EXPECT_EQ(httpRequest(port, "POST", "/api/scan", headers).status, 403);
    EXPECT_EQ(httpRequest(port, "GET", "/api/invite", headers).status, 200);
  }
  // Another cookie beside the page's is no obstacle for the app.
  EXPECT_EQ(httpRequest(port, "GET", "/", {cookie + "; theme=dark"}).status, 200);

  if (::geteuid() != 0) {
    SKIP_WITHOUT_REAL_PART("trying another user needs root, to become that user");
  }
  // Another user reaches the engine's port as the strangers above do, but neither the secret
  // nor the index, even when the data directory is opened up: each file is the user's alone.
  // The command line reads the index directly, and so cannot either.
  ASSERT_EQ(::chmod(dir.path().c_str(), 0711), 0);
  for (const mode_t folderMode : {mode_t{0700}, mode_t{0711}}) {
    ASSERT_EQ(::chmod(data.c_str(), folderMode), 0);
    for (const char* file : {"/page-secret", "/larkspan-index.db"}) {
      const BinaryRun read = runBinary({"/bin/cat", data + file}, asUser(kNobody));
      EXPECT_NE(read.status, 0) << file << " read in a directory of mode " << std::oct
                                << folderMode;
      EXPECT_EQ(read.out, "");
    }
    const BinaryRun cli =
        runBinary({larkspanBinary(), "--data", data, "--json", "inventory"}, asUser(kNobody));
    EXPECT_EQ(cli.status, 1) << cli.out;
    EXPECT_EQ(cli.out.find("larkspan-index"), std::string::npos) << cli.out;
    EXPECT_EQ(cli.err,
              "larkspan: could not use the data directory " + data + ": Permission denied\n");
  }
  ::chmod(data.c_str(), 0700);
}

// Every local user can reach the port. A thousand silent or stalled connections leave the
// page answering its user at once, with every descriptor the system allows the engine or with
// so few that the oldest connections must make way; and a client that trickles its request
// byte by byte is cut off 10 seconds after it connected, however steadily it sends.
TEST(InventoryServer, AnswersItsUserWhileOthersHoldAThousandConnections) {
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_max < 1200) {
    SKIP_WITHOUT_REAL_PART("holding a thousand connections needs a descriptor limit above 1200");
  }
  TempDir dir;
  const std::string root = dir.mkdir("root");
  const std::vector<std::string> launchers[] = {{}, {"/usr/bin/prlimit", "--nofile=200:200"}};
  for (const std::vector<std::string>& launcher : launchers) {
    const std::string name = launcher.empty() ? "system limit" : "200 descriptors";
    ServingEngine engine(dir / ("data " + name), root, launcher);
    engine.settledIndex();

    std::chrono::steady_clock::duration trickledFor{};
    std::thread trickler;
    if (launcher.empty()) {
      trickler = std::thread([&] {
        const auto start = std::chrono::steady_clock::now();
        const UniqueFd fd = connectLoopback(engine.port());
        const std::string head = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
        pollfd closed{fd.get(), POLLIN, 0};
        for (size_t sent = 0; std::chrono::steady_clock::now() - start < std::chrono::seconds(15) &&
                              ::poll(&closed, 1, 500) == 0;
             ++sent) {
          ::send(fd.get(), sent < head.size() ? &head[sent] : "x", 1, MSG_NOSIGNAL);
        }
        trickledFor = std::chrono::steady_clock::now() - start;
      });
    }
    std::vector<UniqueFd> held;
    const std::string partial = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
    for (int i = 0; i < 1000; ++i) {
      held.push_back(connectLoopback(engine.port()));
      ASSERT_TRUE(held.back()) << name << ": connection " << i;
      if (i % 2 == 1) {
        ::send(held.back().get(), partial.data(), partial.size(), MSG_NOSIGNAL);
      }
    }
    for (const char* path : {"/", "/api/status"}) {
      const auto start = std::chrono::steady_clock::now();
      EXPECT_EQ(engine.get(path).status, 200) << name << ": " << path;
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1))
          << name << ": " << path;
    }
    if (trickler.joinable()) {
      trickler.join();
      EXPECT_GE(trickledFor, std::chrono::seconds(9));
      EXPECT_LE(trickledFor, std::chrono::seconds(12));
    }
  }
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
  ASSERT_EQ(::chmod((dir / "root/locked").c_str(), 0), 0);
  const bool superuser = ::geteuid() == 0;

  ServingEngine engine(dir / "data", root);
  const Json index = engine.settledIndex();
  ::chmod((dir / "root/locked").c_str(), 0700);
  const Json& total = index.at("usage");
  // a.jpg once, b.txt, three links, and the locked file only when it could be read.
  EXPECT_EQ(total.at("files"), superuser ? 6 : 5);
  EXPECT_EQ(total.at("logical_bytes"), superuser ? 10'800 : 10'300);
  EXPECT_EQ(total.at("folders"), 4);  // photos, 2023, backup, locked
  EXPECT_EQ(total.at("unreadable_folders"), superuser ? 0 : 1);
  EXPECT_EQ(
      Json::parse(engine.get("/api/folder?path=locked").body).at("usage").at("unreadable_folders"),
      superuser ? 0 : 1);
  EXPECT_LT(total.at("allocated_bytes").get<uint64_t>(), 1'000'000u);  // huge.bin stayed out
  EXPECT_EQ(index.at("extent_maps"), false);

  // Per folder, du counts the same way: each inode once, no links followed, one file system.
  // a.jpg belongs to photos and to backup, so neither holds it alone.
  struct stat photo {};
  ASSERT_EQ(::stat((dir / "root/photos/2023/a.jpg").c_str(), &photo), 0);
  const uint64_t photoBytes = static_cast<uint64_t>(photo.st_blocks) * 512;
  const Json photos = Json::parse(engine.get("/api/folder?path=photos").body);
  const Json backup = Json::parse(engine.get("/api/folder?path=backup").body);
  for (const auto& [folder, report] : {std::pair{root, index}, std::pair{root + "/photos", photos},
                                       std::pair{root + "/backup", backup}}) {
    const BinaryRun du = runBinary({"/usr/bin/du", "-s", "-x", "-B1", folder});
    ASSERT_EQ(du.status, 0) << du.err;
    EXPECT_EQ(report.at("usage").at("allocated_bytes"), std::stoull(du.out)) << folder;
  }
  EXPECT_EQ(photos.at("usage").at("exclusive_bytes"),
            photos.at("usage").at("allocated_bytes").get<uint64_t>() - photoBytes);
  EXPECT_EQ(backup.at("usage").at("shared_bytes"), photoBytes);
  EXPECT_THAT(engine.get("/?path=backup").body,
              HasSubstr("of which <strong class=\"shared\">" + engine::humanBytes(photoBytes) +
                        "</strong> shared with other folders"));
  EXPECT_EQ(backup.at("files_here").at("files"), 2);  // a1 and a2 are one file
  EXPECT_EQ(total.at("exclusive_bytes"), total.at("allocated_bytes"));
}

// A file of several names takes its space once, and one line of the largest files of every
// folder that holds it, whether its names are in one folder or in a folder and its subfolder.
TEST(InventoryIndex, ListsAFileOfSeveralNamesOnceAmongTheLargest) {
  TempDir dir;
  const std::string root = dir.mkdir("root");
  for (int i = 0; i < 25; ++i) {
    dir.write("root/small-" + std::to_string(i), std::string(100 * (i + 1), 's'));
  }
  dir.write("root/big", std::string(2'000'000, 'b'));
  ASSERT_EQ(::link((dir / "root/big").c_str(), (dir / "root/big-too").c_str()), 0);
  dir.mkdir("root/sub");
  ASSERT_EQ(::link((dir / "root/big").c_str(), (dir / "root/sub/big-three").c_str()), 0);
  ServingEngine engine(dir / "data", root);
  const Json listed = engine.settledIndex().at("largest_files");
  ASSERT_EQ(listed.size(), engine::kLargestFilesListed);
  EXPECT_THAT(listed.at(0).at("path").get<std::string>(), HasSubstr("big"));
  EXPECT_THAT(listed.at(1).at("path").get<std::string>(), StartsWith("small-"));
}

TEST(InventoryIndex, ShowsTheKeptResultAtOnceAndDuringTheNextScan) {
  // Memory-backed when the system has it: the run must take a moment, and making its tens
  // of thousands of files on disk would take far longer.
  TempDir dir(std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp");
  const std::string data = dir / "data";
  const std::string root = dir.mkdir("root");
  dir.write("root/first.bin", std::string(4'000, 'f'));
  ASSERT_EQ(runLarkspan({"--data", data, "--root", root, "index"}).status, 0);
  const Json first = Json::parse(runLarkspan({"--data", data, "--json", "inventory"}).out);

  // The tree grows while the engine is away. Started within the interval, the engine shows
  // the kept result straight away instead of rescanning; "Scan again" brings the change in,
  // and while it runs the page and the interface show the kept result and the scan's progress.
  for (int folder = 0; folder < 50; ++folder) {
    const std::string name = "root/many-" + std::to_string(folder);
    dir.mkdir(name);
    for (int file = 0; file < 600; ++file) {
      dir.write(name + "/" + std::to_string(file), "");
    }
  }
  ServingEngine engine(data, root);
  EXPECT_EQ(Json::parse(engine.get("/api/folder").body), first);
  EXPECT_EQ(engine.status().at("indexing"), false);
  EXPECT_THAT(engine.get("/").body, HasSubstr(">4.0 kB<"));

  const uint64_t before = engine.status().at("generation");
  ASSERT_EQ(engine.request("POST", "/api/scan", {"X-Tamber-Scan: 1"}).status, 202);
  std::vector<Json> shown;  // what the interface showed while the run went on
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  // The run's start and its end each move the generation on.
  for (Json state; (state = engine.status()).value("generation", before) < before + 2;) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    if (state.value("indexing", false) && state.at("entries_seen").get<uint64_t>() > 0) {
      shown.push_back(Json::parse(engine.get("/api/folder").body).at("usage"));
      // Unless the run ended in between, the page says how far it got.
      const std::string page = engine.get("/").body;
      if (page.find("Scanning again…") != std::string::npos) {
        EXPECT_THAT(page, AllOf(HasSubstr("id=\"progress\" class=\"progress\">Scanning: "),
                                HasSubstr(">4.0 kB<")));
      }
    }
  }
  EXPECT_FALSE(shown.empty()) << "no progress was seen";
  const Json rescanned = engine.settledIndex();
  // The kept result, or the new one once complete; never a part of it.
  for (const Json& usage : shown) {
    EXPECT_TRUE(usage == first.at("usage") || usage == rescanned.at("usage")) << usage;
  }
  EXPECT_EQ(rescanned.at("usage").at("files"), 30'001);
  EXPECT_EQ(rescanned.at("usage").at("folders"), 50);
  EXPECT_EQ(rescanned.at("children").size(), 50u);

  // An index of another folder put in the same place is not shown as this one's.
  ASSERT_EQ(runLarkspan({"--data", data, "--root", dir.mkdir("other"), "index"}).status, 0);
  EXPECT_EQ(engine.get("/api/folder").status, 503);
  EXPECT_THAT(engine.get("/").body, HasSubstr(">unknown<"));
  EXPECT_EQ(engine.terminate(), 0);
  // Each run left its index (and the page its secret), the user's alone, and nothing else.
  for (const auto& entry : std::filesystem::directory_iterator(data)) {
    EXPECT_THAT(entry.path().filename().string(), AnyOf("larkspan-index.db", "page-secret"));
    EXPECT_EQ(entry.symlink_status().permissions(), fs::perms::owner_read | fs::perms::owner_write)
        << entry.path();
  }
}

}  // namespace
}  // namespace tamber::testing
