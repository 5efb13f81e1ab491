// A verified copy of a 1 GiB file against the same passes done by standard tools in the same
// run: sha256sum of the source, cp, sync of the copy, sha256sum of the copy. The tools are
// spawned with argument vectors (no shell). Rounds alternate which side goes first; the best
// round of each side is compared. Everything is removed afterwards.
// Usage: copy_bench [MiB] [rounds]   (defaults 1024 and 2). Needs 2 x MiB of free disk.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "access/grant.h"
#include "actions/executor.h"
#include "bench_support.h"
#include "platform/process.h"
#include "platform/unique_fd.h"

namespace {

using Clock = std::chrono::steady_clock;

// Runs argv with standard output discarded; true when it exits with 0.
bool run(const std::vector<std::string>& argv) {
  return tamber::runProcess(argv).status == 0;
}

double secondsOf(const auto& work) {
  const auto start = Clock::now();
  work();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool writeSource(const std::string& path, size_t mebibytes) {
  tamber::UniqueFd out(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  std::vector<std::uint64_t> block((1 << 20) / sizeof(std::uint64_t));
  std::uint64_t state = 0x9E3779B97F4A7C15u;
  for (size_t i = 0; i < mebibytes; ++i) {
    for (std::uint64_t& word : block) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      word = state;
    }
    const char* data = reinterpret_cast<const char*>(block.data());
    for (size_t done = 0; done < (1 << 20);) {
      const ssize_t count = ::write(out.get(), data + done, (1 << 20) - done);
      if (count <= 0) {
        return false;
      }
      done += static_cast<size_t>(count);
    }
  }
  return ::fsync(out.get()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t mebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1024;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 2;

  const tamber::bench::BenchFolder bench("bench");
  const std::string& folder = bench.path();
  const std::string source = folder + "/source.bin";
  const std::string toolsCopy = folder + "/tools.bin";
  const std::string ourCopy = folder + "/ours.bin";
  int exitStatus = 0;
  if (!writeSource(source, mebibytes)) {
    std::perror("writing the source");
    exitStatus = 1;
  }

  tamber::GrantStore store;
  const tamber::AgentGrant grant = store.add({folder}, true, false, true);
  double bestTools = 1e9;
  double bestOurs = 1e9;
  for (int round = 0; round < rounds && exitStatus == 0; ++round) {
    auto tools = [&] {
      const double seconds = secondsOf([&] {
        const bool ok = run({"/usr/bin/sha256sum", source}) &&
                        run({"/usr/bin/cp", source, toolsCopy}) &&
                        run({"/usr/bin/sync", toolsCopy}) && run({"/usr/bin/sha256sum", toolsCopy});
        exitStatus = ok ? exitStatus : 1;
      });
      std::filesystem::remove(toolsCopy);
      run({"/usr/bin/sync"});
      std::printf("round %d: tools %.3f s\n", round + 1, seconds);
      bestTools = std::min(bestTools, seconds);
    };
    auto ours = [&] {
      const double seconds = secondsOf([&] {
        try {
          tamber::performFileAction(
              {{"action", "copy"}, {"path", source}, {"destination", ourCopy}}, grant);
        } catch (const std::exception& failure) {
          std::printf("copy failed: %s\n", failure.what());
          exitStatus = 1;
        }
      });
      std::filesystem::remove(ourCopy);
      run({"/usr/bin/sync"});
      std::printf("round %d: verified copy %.3f s\n", round + 1, seconds);
      bestOurs = std::min(bestOurs, seconds);
    };
    run({"/usr/bin/sync"});
    if (round % 2 == 0) {
      tools();
      ours();
    } else {
      ours();
      tools();
    }
  }

  if (exitStatus == 0) {
    std::printf("verified copy of %zu MiB: %.3f s; sha256sum+cp+sync+sha256sum: %.3f s\n",
                mebibytes, bestOurs, bestTools);
    std::printf("ratio copy/tools: %.3f (target <= 1.1)\n", bestOurs / bestTools);
  }
  return exitStatus;
}
