// "list" of a folder holding a million entries, which must answer within 2 ms because it
// reads at most 201 of them. Also times a bare opendir/readdir of the same first 201 names as
// a floor, and a page in the middle of the folder reached through continuations, which must
// cost what the first does. The folder is created first (this takes a while) and removed
// afterwards.
// Usage: list_bench [entries] [calls]   (defaults 1000000 and 200).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "access/grant.h"
#include "actions/executor.h"
#include "bench_support.h"
#include "platform/unique_fd.h"

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsOf(const auto& work) {
  const auto start = Clock::now();
  work();
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

using tamber::bench::percentile;

}  // namespace

int main(int argc, char** argv) {
  const long entries = argc > 1 ? std::atol(argv[1]) : 1000000;
  const int calls = argc > 2 ? std::atoi(argv[2]) : 200;

  const tamber::bench::BenchFolder bench("bench");
  const std::string& folder = bench.path();
  const std::string crowded = folder + "/crowded";
  ::mkdir(crowded.c_str(), 0700);
  {
    tamber::UniqueFd directory(::open(crowded.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    char name[32];
    for (long i = 0; i < entries; ++i) {
      std::snprintf(name, sizeof name, "entry-%07ld", i);
      tamber::UniqueFd file(
          ::openat(directory.get(), name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
      if (!file) {
        std::perror("creating entries");
        return 1;
      }
    }
  }

  tamber::GrantStore store;
  const tamber::AgentGrant grant = store.add({folder}, false, false, true);
  const tamber::Json request = {{"action", "list"}, {"path", crowded}};
  // The reply's text, as the broker sends it, says whether the listing was cut short.
  const auto listed = [&] {
    return tamber::performFileAction(request, grant).text().find("\"has_more\":true") !=
           std::string::npos;
  };
  bool truncated = listed();  // warm-up
  std::vector<double> listTimes;
  std::vector<double> floorTimes;
  for (int i = 0; i < calls; ++i) {
    listTimes.push_back(millisecondsOf([&] { truncated = listed() && truncated; }));
    floorTimes.push_back(millisecondsOf([&] {
      tamber::UniqueDir stream(::opendir(crowded.c_str()));
      for (int n = 0; n < 203 && ::readdir(stream.get()) != nullptr; ++n) {
      }
    }));
  }

  // The page half way through, reached page by page, then listed again and again.
  tamber::Json page = {{"continuation", ""}};
  for (long i = 0; i < entries / 400 && page.contains("continuation"); ++i) {
    page =
        tamber::performFileAction(
            {{"action", "list"}, {"path", crowded}, {"continuation", page["continuation"]}}, grant)
            .json();
  }
  const tamber::Json middle = {
      {"action", "list"}, {"path", crowded}, {"continuation", page.value("continuation", "")}};
  std::vector<double> pageTimes;
  for (int i = 0; i < calls; ++i) {
    pageTimes.push_back(millisecondsOf([&] {
      truncated = tamber::performFileAction(middle, grant).text().size() > 2 && truncated;
    }));
  }

  const double median = percentile(listTimes, 0.5);
  std::printf("list of %ld entries, %d calls: median %.3f ms, p99 %.3f ms, worst %.3f ms\n",
              entries, calls, median, percentile(listTimes, 0.99), percentile(listTimes, 1.0));
  std::printf("bare opendir+readdir of 201 names: median %.3f ms\n", percentile(floorTimes, 0.5));
  std::printf("page %ld of a list in pages, through continuations: median %.3f ms\n", entries / 400,
              percentile(pageTimes, 0.5));
  std::printf("ratio median/2 ms target: %.3f (target <= 1); has_more %s\n", median / 2.0,
              truncated ? "true" : "FALSE");
  return truncated ? 0 : 1;
}
