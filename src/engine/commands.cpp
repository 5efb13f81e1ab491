#include "engine/commands.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <thread>

#include "access/failure.h"
#include "access/reply.h"
#include "engine/http_server.h"
#include "engine/index_service.h"
#include "engine/indexer.h"
#include "engine/inventory.h"
#include "engine/invitation.h"
#include "engine/page.h"
#include "engine/paths.h"
#include "engine/text_format.h"

namespace tamber::engine {

namespace {

// The folder to index: --root, else the home folder. Empty (with a message) when neither.
std::string rootFolder(const CommandLine& line) {
  if (line.root) {
    return absolutePath(*line.root);
  }
  const std::string home = homeFolder();
  if (home.empty()) {
    std::cerr << "larkspan: no home folder is known; name the folder with --root" << std::endl;
    return {};
  }
  return absolutePath(home);
}

void printInventory(const Inventory& inventory, bool json) {
  if (json) {
    std::cout << jsonData(inventoryJson(inventory)) << std::endl;
    return;
  }
  const IndexService::State state{inventory.root, std::make_shared<const Inventory>(inventory),
                                  false, 0};
  std::cout << inventory.root << "\n" << indexedSummary(state) << "\n\n";
  for (const InventoryEntry& entry : inventory.entries) {
    std::printf("%12s  %s%s\n", humanBytes(entry.usage.allocatedBytes).c_str(), entry.name.c_str(),
                entry.kind == EntryKind::folder ? "/" : "");
  }
  std::fflush(stdout);
}

}  // namespace

int runServe(const CommandLine& line, const std::string& program) {
  const std::string root = rootFolder(line);
  if (root.empty()) {
    return 1;
  }
  const std::string dataDir = absolutePath(line.dataDir);
  try {
    ensureDataDirectory(dataDir);
  } catch (const BrokerFailure& failure) {
    // The page can still be served; only the kept index is lost.
    std::cerr << "larkspan: could not create " << dataDir << ": " << failure.description()
              << std::endl;
  }

  // Termination requests are taken by one thread with sigwait, so they must be blocked in
  // every thread, which inherit this mask from here.
  sigset_t endings;
  sigemptyset(&endings);
  sigaddset(&endings, SIGTERM);
  sigaddset(&endings, SIGINT);
  sigaddset(&endings, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &endings, nullptr);
  signal(SIGPIPE, SIG_IGN);

  IndexService index(root, dataDir, std::chrono::seconds(line.intervalSeconds));
  InventoryServer server(index, invitationText(engineExecutable(program), dataDir), line.port);
  try {
    server.bind();
  } catch (const BrokerFailure& failure) {
    std::cerr << "larkspan: " << failure.description() << std::endl;
    return 1;
  }

  std::atomic<bool> terminated{false};
  std::thread waiter([&] {
    int received = 0;
    sigwait(&endings, &received);
    terminated = true;
    server.stop();
  });
  index.start();
  std::cout << "larkspan: serving http://127.0.0.1:" << line.port << "/ for " << root
            << ", indexing every " << line.intervalSeconds << " s" << std::endl;

  server.serve();
  if (!terminated) {
    // The server ended on its own; wake the waiter with the signal it waits for.
    ::kill(::getpid(), SIGTERM);
  }
  waiter.join();
  index.stop();
  if (!terminated) {
    std::cerr << "larkspan: the HTTP server stopped unexpectedly" << std::endl;
    return 1;
  }
  std::cout << "larkspan: stopped" << std::endl;
  return 0;
}

int runIndex(const CommandLine& line) {
  const std::string root = rootFolder(line);
  if (root.empty()) {
    return 1;
  }
  const std::atomic<bool> never{false};
  const std::optional<Inventory> inventory = indexFolder(root, never);
  if (!inventory->error.empty()) {
    std::cerr << "larkspan: could not read " << root << ": " << inventory->error << std::endl;
    return 1;
  }
  const std::string dataDir = absolutePath(line.dataDir);
  try {
    ensureDataDirectory(dataDir);
    saveInventory(dataDir, *inventory);
  } catch (const BrokerFailure& failure) {
    std::cerr << "larkspan: could not keep the index in " << dataDir << ": "
              << failure.description() << std::endl;
    return 1;
  }
  printInventory(*inventory, line.json);
  return 0;
}

int runInventory(const CommandLine& line) {
  const std::string dataDir = absolutePath(line.dataDir);
  const std::optional<Inventory> inventory = loadInventory(dataDir);
  if (!inventory) {
    std::cerr << "larkspan: there is no inventory in " << dataDir
              << " yet; open the Tamber app and let it finish its first scan" << std::endl;
    return 1;
  }
  if (line.root && absolutePath(*line.root) != inventory->root) {
    std::cerr << "larkspan: the inventory in " << dataDir << " is of " << inventory->root
              << ", not of " << absolutePath(*line.root) << std::endl;
    return 1;
  }
  printInventory(*inventory, line.json);
  return 0;
}

int runInvite(const CommandLine& line, const std::string& program) {
  const std::string text = invitationText(engineExecutable(program), absolutePath(line.dataDir));
  if (line.json) {
    std::cout << jsonData(Json{{"product", "Tamber"}, {"text", text}}) << std::endl;
  } else {
    std::cout << text << std::endl;
  }
  return std::cout ? 0 : 1;
}

}  // namespace tamber::engine
