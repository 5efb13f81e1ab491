// `larkspan index` against `du -s` on the same trees in the same run, and the index's memory
// and size for a home-sized tree:
// 1. 100,000 files on ext4 (the file system of /tmp, or an ext4 image when /tmp is something
//    else), space from each file's blocks, in two shapes: "flat" (20 groups of 20 folders of
//    250 files) and "deep" (20 groups of 50 folders of 100 files): target at most 1.0 times
//    du's time, goal 0.8;
// 2. the same two shapes on an XFS image, half of the files reflinked copies of the other half,
//    space from each file's extent map: target at most 2.0 times du's time, goal 1.5 (du counts
//    the copies twice; the index does not); beside it the floor of any such count, the system
//    calls for the files' maps alone (du makes one call a file, a count of maps four);
// 3. 1,000,000 files shaped like a home folder (memory-backed when /dev/shm exists): the index
//    run's peak resident memory (target under 32 MiB) and its database's size.
// Both programs run as processes on a warm cache; rounds alternate which goes first; the
// medians are compared. The images need root (to mount them), mkfs.ext4 and mkfs.xfs.
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
#include <optional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "platform/cores.h"
#include "platform/executable_path.h"
#include "platform/extent_map.h"
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

// How a tree of project folders is laid out: groups of folders, each folder with its files.
struct Shape {
  const char* name;
  int foldersPerGroup;
  int filesPerFolder;
};

constexpr Shape kFlat{"flat", 20, 250};
constexpr Shape kDeep{"deep", 50, 100};

// A tree like a project folder: `files` files in folders two levels deep as `shape` says;
// each file 1 to 3,000 bytes (or empty).
void buildTree(const std::string& root, long files, const Shape& shape, bool empty) {
  std::filesystem::create_directories(root);
  long made = 0;
  for (int top = 0; made < files; ++top) {
    const std::string upper = root + "/group-" + std::to_string(top);
    ::mkdir(upper.c_str(), 0700);
    for (int middle = 0; middle < shape.foldersPerGroup && made < files; ++middle) {
      const std::string folder = upper + "/folder-" + std::to_string(middle);
      ::mkdir(folder.c_str(), 0700);
      for (int i = 0; i < shape.filesPerFolder && made < files; ++i, ++made) {
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

// The regular files of a tree, by folder.
struct FolderFiles {
  std::string folder;
  std::vector<std::string> names;
};

std::vector<FolderFiles> filesByFolder(const std::string& tree) {
  std::vector<FolderFiles> folders{{tree, {}}};
  for (const auto& entry : std::filesystem::recursive_directory_iterator(tree)) {
    if (entry.is_directory()) {
      folders.push_back({entry.path().string(), {}});
    }
  }
  for (FolderFiles& folder : folders) {
    for (const auto& entry : std::filesystem::directory_iterator(folder.folder)) {
      if (entry.is_regular_file()) {
        folder.names.push_back(entry.path().filename().string());
      }
    }
  }
  return folders;
}

// The system calls that any count reading every file's extent map must make: each file
// opened, its status and map read, and closed. Made on one thread, with the tree listed
// beforehand, untimed; the time divided by the cores is what a count that kept every core
// busy with nothing but these calls would take, and no such count can take less.
struct Floor {
  double seconds = 0;     // the calls' time divided by the cores
  double mapSeconds = 0;  // the maps' own time: what reading them one at a time takes at least
};

Floor extentMapFloor(const std::vector<FolderFiles>& folders) {
  std::vector<tamber::Extent> extents;
  Clock::duration maps{};
  const auto start = Clock::now();
  for (const FolderFiles& listed : folders) {
    const tamber::UniqueFd folder(
        ::open(listed.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (const std::string& name : listed.names) {
      const tamber::UniqueFd file(
          ::openat(folder.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
      struct stat status {};
      if (!file || ::fstat(file.get(), &status) != 0) {
        std::perror(name.c_str());
        std::exit(1);
      }
      const auto mapStart = Clock::now();
      if (tamber::readExtentMap(file.get(), extents) != 0) {
        std::perror(name.c_str());
        std::exit(1);
      }
      maps += Clock::now() - mapStart;
    }
  }
  return {std::chrono::duration<double>(Clock::now() - start).count() / tamber::usableCores(),
          std::chrono::duration<double>(maps).count()};
}

// Times du and the index on `tree`, alternating, and prints both and their ratio; with
// `floor`, the extent-map floor too, and how far the index is from it.
void compare(const std::string& label, const std::string& larkspan, const std::string& tree,
             const std::string& data, int rounds, double target, double goal, bool floor = false) {
  const std::vector<FolderFiles> folders = floor ? filesByFolder(tree) : std::vector<FolderFiles>();
  std::vector<double> floorTimes, mapTimes;
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
    if (floor) {
      const Floor measured = extentMapFloor(folders);
      floorTimes.push_back(measured.seconds);
      mapTimes.push_back(measured.mapSeconds);
    }
  }
  const unsigned long long duBytes = std::strtoull(mustRun(du).output.c_str(), nullptr, 10);
  const std::string report = first.output;
  const size_t at = report.find("\"allocated_bytes\":", report.find("\"usage\":"));
  const unsigned long long ours =
      at == std::string::npos ? 0 : std::strtoull(report.c_str() + at + 18, nullptr, 10);
  std::printf("%s: du -s %.3f s (%llu bytes), larkspan index %.3f s (%llu bytes), peak %ld kB\n",
              label.c_str(), median(duTimes), duBytes, median(indexTimes), ours, peak);
  std::printf("ratio %s larkspan/du: %.2f (target <= %.2f, goal %.2f)\n", label.c_str(),
              median(indexTimes) / median(duTimes), target, goal);
  if (floor) {
    std::printf(
        "%s: the extent-map floor %.3f s is %.2f times du; larkspan index is %.2f times the "
        "floor\n",
        label.c_str(), median(floorTimes), median(floorTimes) / median(duTimes),
        median(indexTimes) / median(floorTimes));
    // Read one at a time, as in a single turn, the maps alone would bound the count on any
    // number of cores; read side by side by allocation group they do not.
    std::printf("%s: the maps alone take %.3f s, %.2f times du, read one at a time\n",
                label.c_str(), median(mapTimes), median(mapTimes) / median(duTimes));
  }
}

// A file system of `type` in an image file under `base`, mounted at base/`type`; no mount
// point when it could not be made (not root, no mkfs, no loop device).
struct LoopImage {
  std::string device;
  std::string mountPoint;

  LoopImage(const std::string& base, const std::string& type) {
    const std::string image = base + "/" + type + ".img";
    {
      tamber::UniqueFd file(::open(image.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
      if (!file || ::ftruncate(file.get(), 4LL << 30) != 0) {
        return;
      }
    }
    // ext4 without lazily initialised tables, whose writing in the background would slow the
    // rounds unevenly.
    const std::vector<std::string> mkfs =
        type == "ext4" ? std::vector<std::string>{"/usr/sbin/mkfs.ext4",
                                                  "-q",
                                                  "-F",
                                                  "-E",
                                                  "lazy_itable_init=0,lazy_journal_init=0",
                                                  image}
                       : std::vector<std::string>{"/usr/sbin/mkfs." + type, "-q", image};
    if (::geteuid() != 0 || !run(mkfs).ok) {
      return;
    }
    Run attached = run({"/usr/sbin/losetup", "--find", "--show", image});
    if (!attached.ok) {
      return;
    }
    device = attached.output.substr(0, attached.output.find('\n'));
    const std::string point = base + "/" + type;
    ::mkdir(point.c_str(), 0700);
    if (run({"/usr/bin/mount", "-t", type, device, point}).ok) {
      mountPoint = point;
    }
  }
  ~LoopImage() {
    if (!mountPoint.empty()) {
      ::sync();
      run({"/usr/bin/umount", mountPoint});
    }
    if (!device.empty()) {
      run({"/usr/sbin/losetup", "--detach", device});
    }
  }
  LoopImage(const LoopImage&) = delete;
  LoopImage& operator=(const LoopImage&) = delete;
};

bool onExt4(const std::string& path) {
  const tamber::UniqueFd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return folder && tamber::fileSystemKind(folder.get()).name == "ext4";
}

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

  // 1. Blocks, on ext4: the file system of /tmp when it is ext4, else an image.
  if (files > 0) {
    std::optional<LoopImage> ext4;
    std::string where = base;
    if (!onExt4(base)) {
      ext4.emplace(base, "ext4");
      where = ext4->mountPoint;
    }
    if (where.empty()) {
      std::printf(
          "ext4: skipped (%s is not ext4, and an image needs root, mkfs.ext4 and a loop "
          "device)\n",
          base.c_str());
    }
    for (const Shape& shape : {kFlat, kDeep}) {
      if (where.empty()) {
        break;
      }
      std::printf("building %ld files (%s) on ext4 under %s\n", files, shape.name, where.c_str());
      std::fflush(stdout);
      buildTree(where + "/tree", files, shape, false);
      compare(std::string("ext4-") + shape.name, larkspan, where + "/tree", base + "/data-ext4",
              rounds, 1.0, 0.8);
      std::filesystem::remove_all(where + "/tree");
    }

    // 2. Extent maps: half the files reflinked copies of the other half.
    LoopImage xfs(base, "xfs");
    if (xfs.mountPoint.empty()) {
      std::printf("xfs: skipped (needs root, mkfs.xfs and a loop device)\n");
    }
    for (const Shape& shape : {kFlat, kDeep}) {
      if (xfs.mountPoint.empty()) {
        break;
      }
      std::printf("building %ld files (%s) on XFS, half of them reflinked\n", files, shape.name);
      std::fflush(stdout);
      const std::string tree = xfs.mountPoint + "/" + shape.name;
      buildTree(tree + "/originals", files / 2, shape, false);
      mustRun({"/usr/bin/cp", "-a", "--reflink=always", tree + "/originals", tree + "/copies"});
      ::sync();
      compare(std::string("xfs-reflinks-") + shape.name, larkspan, tree, base + "/data-xfs", rounds,
              2.0, 1.5, /*floor=*/true);
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
    buildTree(home, homeFiles, Shape{"home", 20, 20}, true);
    const Run indexed =
        mustRun({larkspan, "--data", base + "/data-home", "--root", home, "--json", "index"});
    struct stat database {};
    ::stat((base + "/data-home/larkspan-index.db").c_str(), &database);
    std::printf("home of %ld files: indexed in %.2f s, peak resident %.1f MiB, database %.1f MB\n",
                homeFiles, indexed.seconds, static_cast<double>(indexed.peakKilobytes) / 1024.0,
                static_cast<double>(database.st_size) / 1e6);
    std::printf("ratio home peak resident/target: %.2f (%.1f MiB of 32 MiB)\n",
                static_cast<double>(indexed.peakKilobytes) / (32.0 * 1024.0),
                static_cast<double>(indexed.peakKilobytes) / 1024.0);
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
  }

  return 0;
}
