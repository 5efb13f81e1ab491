// Indexing a tree of 100,000 files with `larkspan index` against `du -s` on the same tree in
// the same run (target: within 1.5 times du). Both run as processes on a warm cache; rounds
// alternate which goes first; the best and the median round of each are compared.
// Usage: engine_index_bench [files] [rounds] [path-to-larkspan]
//        (defaults 100000, 7, and the larkspan beside the bench folder of the build)
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/executable_path.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Runs argv (argv[0] found on PATH) with its output discarded; true when it exits with 0.
bool run(std::vector<std::string> argv) {
  std::vector<char*> pointers;
  for (std::string& argument : argv) {
    pointers.push_back(argument.data());
  }
  pointers.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  pid_t child = 0;
  const int error = posix_spawnp(&child, pointers[0], &actions, nullptr, pointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    return false;
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double secondsOf(const std::vector<std::string>& argv) {
  const auto start = Clock::now();
  if (!run(argv)) {
    std::fprintf(stderr, "%s failed\n", argv[0].c_str());
    std::exit(1);
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A tree like a project folder: 250 small files per folder, folders two levels deep.
void buildTree(const std::string& root, long files) {
  std::filesystem::create_directories(root);
  long made = 0;
  for (int top = 0; made < files; ++top) {
    const std::string upper = root + "/group-" + std::to_string(top);
    ::mkdir(upper.c_str(), 0700);
    for (int middle = 0; middle < 20 && made < files; ++middle) {
      const std::string folder = upper + "/folder-" + std::to_string(middle);
      ::mkdir(folder.c_str(), 0700);
      for (int i = 0; i < 250 && made < files; ++i, ++made) {
        const std::string path = folder + "/file-" + std::to_string(i) + ".txt";
        tamber::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        const std::string content(static_cast<size_t>(1 + i * 37 % 3000), 'x');
        if (!fd || ::write(fd.get(), content.data(), content.size()) < 0) {
          std::perror(path.c_str());
          std::exit(1);
        }
      }
    }
  }
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const long files = argc > 1 ? std::atol(argv[1]) : 100000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 7;
  std::string larkspan = argc > 3 ? argv[3] : std::string();
  if (larkspan.empty()) {
    larkspan =
        std::filesystem::path(tamber::ownExecutablePath()).parent_path().parent_path() / "larkspan";
  }
  if (files < 1 || rounds < 1 || ::access(larkspan.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "usage: engine_index_bench [files] [rounds] [path-to-larkspan]\n");
    return 2;
  }

  char pattern[] = "/tmp/tamber-index-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string base = pattern;
  const std::string tree = base + "/tree";
  const std::string data = base + "/data";
  std::printf("building %ld files under %s\n", files, tree.c_str());
  buildTree(tree, files);

  const std::vector<std::string> du = {"du", "-s", tree};
  const std::vector<std::string> index = {larkspan, "--data", data,   "--root",
                                          tree,     "--json", "index"};
  secondsOf(du);  // warm the cache for both
  secondsOf(index);
  std::vector<double> duTimes;
  std::vector<double> indexTimes;
  for (int round = 0; round < rounds; ++round) {
    if (round % 2 == 0) {
      duTimes.push_back(secondsOf(du));
      indexTimes.push_back(secondsOf(index));
    } else {
      indexTimes.push_back(secondsOf(index));
      duTimes.push_back(secondsOf(du));
    }
  }
  const double duBest = *std::min_element(duTimes.begin(), duTimes.end());
  const double indexBest = *std::min_element(indexTimes.begin(), indexTimes.end());
  std::printf("du -s:           best %.3f s, median %.3f s\n", duBest, median(duTimes));
  std::printf("larkspan index:  best %.3f s, median %.3f s\n", indexBest, median(indexTimes));
  std::printf("ratio larkspan/du: best %.2f, median %.2f (target <= 1.50)\n", indexBest / duBest,
              median(indexTimes) / median(duTimes));

  std::error_code ignored;
  std::filesystem::remove_all(base, ignored);
  return 0;
}
