#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "actions/action_fixture.h"
#include "actions/digest.h"
#include "platform/rename.h"

namespace tamber {
namespace {

using namespace testing;
using namespace std::chrono_literals;

// One thread keeps exchanging a folder inside the grant with a link to an outside folder, and
// a file with a link to an outside file; the test reads and lists through them meanwhile.
// Whatever the interleaving, a reply may only ever carry what is inside the grant.
TEST(Race, SwappingInLinksNeverLeaksOutsideContent) {
  Workspace w;
  w.dir.mkdir("granted/mid");
  w.dir.write("granted/mid/file.txt", "inside");
  w.dir.mkdir("granted/stable");
  w.dir.write("granted/stable/leaf.txt", "inside");
  w.dir.write("outside/file.txt", "OUTSIDE");
  w.dir.write("outside/leaf.txt", "OUTSIDE");
  w.dir.write("outside/outside-only.txt", "OUTSIDE");
  std::filesystem::create_directory_symlink(w.outside, w / "swap");
  std::filesystem::create_symlink(w.dir / "outside/leaf.txt", w / "stable/leaf-link");

  std::atomic<bool> stop = false;
  std::atomic<int> swaps = 0;
  std::thread swapper([&] {
    while (!stop) {
      swaps += renameExchange(AT_FDCWD, (w / "mid").c_str(), AT_FDCWD, (w / "swap").c_str()) == 0;
      renameExchange(AT_FDCWD, (w / "stable/leaf.txt").c_str(), AT_FDCWD,
                     (w / "stable/leaf-link").c_str());
    }
  });

  int served = 0;
  const auto end = std::chrono::steady_clock::now() + 1500ms;
  for (int i = 0; i < 3000 && std::chrono::steady_clock::now() < end; ++i) {
    try {
      const Json reply = w.run({{"action", "read"}, {"path", w / "mid/file.txt"}});
      EXPECT_EQ(decodeBase64(reply["data_base64"]), "inside");
      ++served;
    } catch (const BrokerFailure&) {
    }
    try {
      const Json reply = w.run({{"action", "read"}, {"path", w / "stable/leaf.txt"}});
      EXPECT_EQ(decodeBase64(reply["data_base64"]), "inside");
      ++served;
    } catch (const BrokerFailure&) {
    }
    try {
      EXPECT_EQ(w.run({{"action", "list"}, {"path", w / "mid"}})["entries"],
                Json::array({"file.txt"}));
    } catch (const BrokerFailure&) {
    }
    if (::testing::Test::HasFailure()) {
      break;
    }
  }
  stop = true;
  swapper.join();

  EXPECT_GT(swaps.load(), 0);
  EXPECT_GT(served, 0);
  EXPECT_EQ(readFile(w.dir / "outside/file.txt"), "OUTSIDE");
  EXPECT_EQ(readFile(w.dir / "outside/leaf.txt"), "OUTSIDE");
}

// A file rewritten while it is read: the digest in each reply must be that of the bytes in
// the same reply, or a replace built on it could overwrite content the agent never saw.
TEST(Race, ReadDigestAlwaysDescribesTheBytesReturned) {
  Workspace w;
  const std::string path = w.dir.write("granted/busy.txt", std::string(32768, 'a'));
  std::atomic<bool> stop = false;
  std::thread writer([&] {
    UniqueFd file(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    for (char fill = 'b'; !stop; fill = fill == 'z' ? 'a' : static_cast<char>(fill + 1)) {
      const std::string content(32768, fill);
      EXPECT_EQ(::pwrite(file.get(), content.data(), content.size(), 0), 32768);
    }
  });

  const auto end = std::chrono::steady_clock::now() + 1000ms;
  for (int i = 0; i < 5000 && std::chrono::steady_clock::now() < end; ++i) {
    const Json reply = w.run({{"action", "read"}, {"path", path}});
    const std::string data = decodeBase64(reply["data_base64"]);
    EXPECT_EQ(reply["sha256"], memoryDigest(data.data(), data.size())) << "read " << i;
    if (::testing::Test::HasFailure()) {
      break;
    }
  }
  stop = true;
  writer.join();
}

}  // namespace
}  // namespace tamber
