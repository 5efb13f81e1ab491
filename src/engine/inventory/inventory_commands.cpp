#include "engine/inventory/inventory_commands.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "base/failure.h"
#include "base/page_secret.h"
#include "base/path.h"
#include "base/reply.h"
#include "base/text.h"
#include "base/time.h"
#include "engine/inventory/folder_report.h"
#include "engine/inventory/http_server.h"
#include "engine/inventory/index_service.h"
#include "engine/inventory/index_store.h"
#include "engine/inventory/indexer.h"
#include "engine/inventory/text_format.h"

namespace tamber::engine {

namespace {

std::string percentOf(uint64_t part, uint64_t whole) {
  char text[16];
  std::snprintf(text, sizeof text, "%5.1f %%",
                whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole));
  return text;
}

// One folder report for people: the figures, the subfolders and the largest files.
void printReport(const Json& report) {
  std::cout << report.at("path").get<std::string>() << "\n";
  if (report.contains("error")) {
    std::cout << "Could not be read: " << report.at("error").get<std::string>() << std::endl;
    return;
  }
  const Json& usage = report.at("usage");
  const uint64_t allocated = usage.at("allocated_bytes");
  const uint64_t shared = usage.at("shared_bytes");
  std::cout << humanBytes(allocated) << " on disk";
  if (shared > 0) {
    std::cout << ", of which " << humanBytes(shared) << " shared with other folders";
  }
  const uint64_t files = usage.at("files");
  const uint64_t folders = usage.at("folders");
  std::cout << "; " << humanBytes(usage.at("logical_bytes")) << " in " << groupedNumber(files)
            << (files == 1 ? " file" : " files") << " and " << groupedNumber(folders)
            << (folders == 1 ? " folder" : " folders") << ".\n"
            << "Indexed at " << localTimeText(report.at("finished_at")) << ".\n\n";
  for (const Json& child : report.at("children")) {
    std::printf("%12s %s  %s/\n", humanBytes(child.at("allocated_bytes")).c_str(),
                percentOf(child.at("allocated_bytes"), allocated).c_str(),
                child.at("name").get<std::string>().c_str());
  }
  const Json& here = report.at("files_here");
  std::printf("%12s %s  (files directly in this folder)\n",
              humanBytes(here.at("allocated_bytes")).c_str(),
              percentOf(here.at("allocated_bytes"), allocated).c_str());
  if (!report.at("largest_files").empty()) {
    std::printf("\nLargest files:\n");
    for (const Json& file : report.at("largest_files")) {
      std::printf("%12s  %s\n", humanBytes(file.at("allocated_bytes")).c_str(),
                  file.at("path").get<std::string>().c_str());
    }
  }
  std::fflush(stdout);
}

void printFolder(const std::string& dataDir, const std::string& folder, bool json) {
  const Json report = folderReport(dataDir, folder);
  if (json) {
    std::cout << jsonData(report) << std::endl;
  } else {
    printReport(report);
  }
}

}  // namespace

int runServe(const std::string& root, const std::string& dataDir, std::string invitation, int port,
             std::chrono::seconds interval) {
  // Termination requests are taken by one thread with sigwait, so they must be blocked in
  // every thread, which inherit this mask from here.
  sigset_t endings;
  sigemptyset(&endings);
  sigaddset(&endings, SIGTERM);
  sigaddset(&endings, SIGINT);
  sigaddset(&endings, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &endings, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // The page's secret exists before the server answers anything, so that the app, which
  // reads it once the engine answers its probe, always finds it.
  std::string secret;
  try {
    secret = ensurePageSecret(dataDir);
  } catch (const Failure& failure) {
    std::cerr << "larkspan: could not keep the page's secret in " << dataDir << ": "
              << failure.description() << std::endl;
    return 1;
  }
  IndexService index(root, dataDir, interval);
  InventoryServer server(index, std::move(invitation), std::move(secret), port);
  try {
    server.bind();
  } catch (const Failure& failure) {
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
  std::cout << "larkspan: serving http://127.0.0.1:" << port << "/ for " << root
            << ", indexing every " << interval.count() << " s" << std::endl;

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

int runIndex(const std::string& root, const std::string& dataDir, bool json) {
  const std::atomic<bool> never{false};
  std::optional<ScanRecord> scan;
  try {
    scan = indexFolder(root, dataDir, never);
  } catch (const Failure& failure) {
    std::cerr << "larkspan: could not keep the index in " << dataDir << ": "
              << failure.description() << std::endl;
    return 1;
  }
  if (!scan->error.empty()) {
    std::cerr << "larkspan: could not read " << root << ": " << scan->error << std::endl;
    return 1;
  }
  printFolder(dataDir, "", json);
  return 0;
}

int runInventory(const std::string& dataDir, const std::optional<std::string>& root,
                 const std::string& folder, bool json) {
  if (root) {
    const std::unique_ptr<IndexReader> reader = IndexReader::open(dataDir);
    if (reader && *root != reader->scan().root) {
      std::cerr << "larkspan: the inventory in " << dataDir << " is of " << reader->scan().root
                << ", not of " << *root << std::endl;
      return 1;
    }
  }
  printFolder(dataDir, folder, json);
  return 0;
}

}  // namespace tamber::engine
