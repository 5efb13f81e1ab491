// `larkspan index` against `du -s` on the same trees in the same run, and the index's memory
// and size for a home-sized tree:
// 1. 100,000 files on the file system of /tmp (ext4 here), space from each file's blocks:
//    target at most 1.0 times du's time;
// 2. 100,000 files on an XFS image, half of them reflinked copies of the other half, space
//    from each file's extent map: target at most 1.5 times du's time (du counts the copies
//    twice; the index does not);
// 3. 1,000,000 files shaped like a home folder (memory-backed when /dev/shm exists):
//    the index run's peak resident memory (target at most 200 MB) and its database's size.
// Both programs run as processes on a warm cache; rounds alternate which goes first; the
// medians are compared. Section 2 needs root (to mount the image) and mkfs.xfs.
// Usage: engine_index_bench [files] [rounds] [home-files]
//        (defaults 100000, 5, 1000000; 0 files skips sections 1 and 2, 0 home files section 3)
#include <fcntl.h>
#include <sys/resource.h>
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

#include "bench_support.h"
#include "platform/executable_path.h"
#include "platform/fd_io.h"
#include "platform/process.h"
#include "platform/unique_fd.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Run {
  bool ok = false;
  double seconds = 0;
  long peakKilobytes = 0;  // resident
  std::string output;
};

// Runs argv, keeping its standard output, its time and its peak memory.
Run run(const std::vector<std::string>& argv) {
  const auto start = Clock::now();
  tamber::ChildProcess child(argv, {{},
                                    tamber::ChildStream::toNullDevice(),
                                    tamber::ChildStream::toPipe(),
                                    tamber::ChildStream::inherit()});
  Run result;
  if (child.startError() != 0) {
    return result;
  }
  tamber::readToEnd(child.output().get(), result.output);
  const std::optional<int> status = child.wait();
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  result.peakKilobytes = child.peakResidentKilobytes();
  result.ok = status == 0;
  return result;
}

Run mustRun(const std::vector<std::string>& argv) {
  Run result = run(argv);
  if (!result.ok) {
    std::fprintf(stderr, "%s failed\n", argv[0].c_str());
    std::exit(1);
  }
  return result;
}

void writeFile(const std::string& path, size_t bytes) {
  tamber::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  const std::string content(bytes, 'x');
  if (!fd || (bytes > 0 && ::write(fd.get(), content.data(), content.size()) < 0)) {
    std::perror(path.c_str());
    std::exit(1);
  }
}

// A tree like a project folder: `perFolder` files per folder, folders two levels deep below
// groups of twenty; each file 1 to 3,000 bytes (or empty).
void buildTree(const std::string& root, long files, int perFolder, bool empty) {
  std::filesystem::create_directories(root);
  long made = 0;
  for (int top = 0; made < files; ++top) {
    const std::string upper = root + "/group-" + std::to_string(top);
    ::mkdir(upper.c_str(), 0700);
    for (int middle = 0; middle < 20 && made < files; ++middle) {
      const std::string folder = upper + "/folder-" + std::to_string(middle);
      ::mkdir(folder.c_str(), 0700);
      for (int i = 0; i < perFolder && made < files; ++i, ++made) {
        writeFile(folder + "/file-" + std::to_string(i) + ".txt",
                  empty ? 0 : static_cast<size_t>(1 + i * 37 % 3000));
      }
    }
  }
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Times du and the index on `tree`, alternating, and prints both and their ratio.
void compare(const char* label, const std::string& larkspan, const std::string& tree,
             const std::string& data, int rounds, double target) {
  const std::vector<std::string> du = {"/usr/bin/du", "-s", "-B1", tree};
  const std::vector<std::string> index = {larkspan, "--data", data,   "--root",
                                          tree,     "--json", "index"};
  mustRun(du);  // warm the cache for both
  const Run first = mustRun(index);
  std::vector<double> duTimes, indexTimes;
  long peak = first.peakKilobytes;
  for (int round = 0; round < rounds; ++round) {
    if (round % 2 == 0) {
      duTimes.push_back(mustRun(du).seconds);
    }
    const Run indexed = mustRun(index);
    indexTimes.push_back(indexed.seconds);
    peak = std::max(peak, indexed.peakKilobytes);
    if (round % 2 == 1) {
      duTimes.push_back(mustRun(du).seconds);
    }
  }
  const unsigned long long duBytes = std::strtoull(mustRun(du).output.c_str(), nullptr, 10);
  const std::string report = first.output;
  const size_t at = report.find("\"allocated_bytes\":", report.find("\"usage\":"));
  const unsigned long long ours =
      at == std::string::npos ? 0 : std::strtoull(report.c_str() + at + 18, nullptr, 10);
  std::printf("%s: du -s %.3f s (%llu bytes), larkspan index %.3f s (%llu bytes), peak %ld kB\n",
              label, median(duTimes), duBytes, median(indexTimes), ours, peak);
  std::printf("ratio %s larkspan/du: %.2f (target <= %.2f)\n", label,
              median(indexTimes) / median(duTimes), target);
}

// An XFS file system in an image file under `base`, mounted at base/xfs; empty when it could
// not be made (not root, no mkfs.xfs, no loop device).
struct XfsImage {
  std::string device;
  std::string mountPoint;

  explicit XfsImage(const std::string& base) {
    const std::string image = base + "/xfs.img";
    {
      tamber::UniqueFd file(::open(image.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
      if (!file || ::ftruncate(file.get(), 4LL << 30) != 0) {
        return;
      }
    }
    if (::geteuid() != 0 || !run({"/usr/sbin/mkfs.xfs", "-q", image}).ok) {
      return;
    }
    Run attached = run({"/usr/sbin/losetup", "--find", "--show", image});
    if (!attached.ok) {
      return;
    }
    device = attached.output.substr(0, attached.output.find('\n'));
    const std::string point = base + "/xfs";
    ::mkdir(point.c_str(), 0700);
    if (run({"/usr/bin/mount", "-t", "xfs", device, point}).ok) {
      mountPoint = point;
    }
  }
  ~XfsImage() {
    if (!mountPoint.empty()) {
      ::sync();
      run({"/usr/bin/umount", mountPoint});
    }
    if (!device.empty()) {
      run({"/usr/sbin/losetup", "--detach", device});
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  const long files = argc > 1 ? std::atol(argv[1]) : 100000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  const long homeFiles = argc > 3 ? std::atol(argv[3]) : 1000000;
  const std::string larkspan =
      std::filesystem::path(tamber::ownExecutablePath()).parent_path().parent_path() / "larkspan";
  if (files < 0 || rounds < 1 || homeFiles < 0 || ::access(larkspan.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "usage: engine_index_bench [files] [rounds] [home-files]\n");
    return 2;
  }

  const tamber::bench::BenchFolder folder("index-bench");
  const std::string& base = folder.path();

  // 1. Blocks: the file system of /tmp.
  if (files > 0) {
    std::printf("building %ld files under %s\n", files, base.c_str());
    std::fflush(stdout);
    buildTree(base + "/tree", files, 250, false);
    compare("blocks", larkspan, base + "/tree", base + "/data-blocks", rounds, 1.0);
    std::filesystem::remove_all(base + "/tree");

    // 2. Extent maps: half the files reflinked copies of the other half.
    {
      XfsImage xfs(base);
      if (xfs.mountPoint.empty()) {
        std::printf("xfs: skipped (needs root, mkfs.xfs and a loop device)\n");
      } else {
        std::printf("building %ld files on XFS, half of them reflinked\n", files);
        std::fflush(stdout);
        buildTree(xfs.mountPoint + "/tree/originals", files / 2, 250, false);
        mustRun({"/usr/bin/cp", "-a", "--reflink=always", xfs.mountPoint + "/tree/originals",
                 xfs.mountPoint + "/tree/copies"});
        ::sync();
        compare("xfs-reflinks", larkspan, xfs.mountPoint + "/tree", base + "/data-xfs", rounds,
                1.5);
      }
    }
  }

  // 3. Memory and database size for a home of a million files: twenty per folder, so tens of
  // thousands of folders, as homes have.
  if (homeFiles > 0) {
    std::string home = base + "/home";
    char memoryBacked[] = "/dev/shm/tamber-home-XXXXXX";
    if (std::filesystem::is_directory("/dev/shm") && ::mkdtemp(memoryBacked) != nullptr) {
      home = memoryBacked;
    }
    std::printf("building %ld empty files under %s\n", homeFiles, home.c_str());
    std::fflush(stdout);
    buildTree(home, homeFiles, 20, true);
    const Run indexed =
        mustRun({larkspan, "--data", base + "/data-home", "--root", home, "--json", "index"});
    struct stat database {};
    ::stat((base + "/data-home/larkspan-index.db").c_str(), &database);
    std::printf("home of %ld files: indexed in %.2f s, peak resident %.1f MiB, database %.1f MB\n",
                homeFiles, indexed.seconds, static_cast<double>(indexed.peakKilobytes) / 1024.0,
                static_cast<double>(database.st_size) / 1e6);
    std::printf("ratio home peak resident/target: %.2f (%.1f MiB of 200 MB)\n",
                static_cast<double>(indexed.peakKilobytes) * 1024.0 / 200e6,
                static_cast<double>(indexed.peakKilobytes) / 1024.0);
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
  }

  return 0;
}
