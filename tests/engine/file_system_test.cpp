// The inventory on real XFS and Btrfs file systems, made in image files and loop-mounted:
// reflinked copies, snapshots, hard links, sparse files and a tree deeper than the process's
// descriptor limit, with every figure held against what the file system itself reports.
// Needs root (to mount); where a file system cannot be made or mounted the tests skip with
// the reason, and fail instead when TAMBER_REQUIRE_REAL_PARTS is set (as in CI).
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "engine/larkspan_harness.h"
#include "platform/process.h"
#include "support/temp_dir.h"

namespace tamber::testing {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;
// What a file system spends on its own bookkeeping around the files a test writes (inode
// chunks, btree blocks): the margin between its free-space figures and the data.
constexpr uint64_t kBookkeeping = 512 * 1024;

// Runs the tool `argv[0]`, found in the usual folders; its output, or nullopt when it failed.
std::optional<std::string> run(std::vector<std::string> argv) {
  for (const std::string folder : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"}) {
    if (::access((folder + argv[0]).c_str(), X_OK) == 0) {
      argv[0] = folder + argv[0];
      const ProcessResult result = runProcess(argv);
      return result.status == 0 ? std::optional(result.output) : std::nullopt;
    }
  }
  return std::nullopt;
}

// A file system of `type` in an image file, loop-mounted on a folder of its own for the life
// of the object; unmounted and its loop device detached on every way out.
class LoopFileSystem {
 public:
  explicit LoopFileSystem(const std::string& type) : type_(type) {
    if (::geteuid() != 0) {
      problem_ = "mounting a file system needs root";
      return;
    }
    const std::string image = dir_.write("image", "");
    std::filesystem::resize_file(image, 512 * kMiB);
    if (!run({"mkfs." + type, "-q", image})) {
      problem_ = "mkfs." + type + " failed or is not installed (package " +
                 (type == "xfs" ? "xfsprogs" : "btrfs-progs") + ")";
      return;
    }
    const std::optional<std::string> device = run({"losetup", "--find", "--show", image});
    if (!device || device->empty()) {
      problem_ = "no loop device could be attached";
      return;
    }
    device_ = device->substr(0, device->find('\n'));
    mountPoint_ = dir_.mkdir("mount");
    if (!run({"mount", "-t", type, device_, mountPoint_})) {
      problem_ = "mounting " + type + " from " + device_ + " failed";
      mountPoint_.clear();
    }
  }
  ~LoopFileSystem() {
    if (!mountPoint_.empty() && !unmount()) {
      run({"umount", "--lazy", mountPoint_});
    }
    if (!device_.empty()) {
      run({"losetup", "--detach", device_});
    }
  }
  LoopFileSystem(const LoopFileSystem&) = delete;
  LoopFileSystem& operator=(const LoopFileSystem&) = delete;

  // Why the file system is not there; empty when it is.
  const std::string& problem() const { return problem_; }
  const std::string& root() const { return mountPoint_; }
  std::string operator/(const std::string& relative) const { return mountPoint_ + "/" + relative; }
  const TempDir& scratch() const { return dir_; }

  // Space in use as the file system reports it to df, once everything written or removed
  // has reached it: XFS frees the blocks of removed files in the background until it is
  // unmounted, Btrfs at the next commit.
  uint64_t used() {
    ::sync();
    if (type_ == "xfs") {
      EXPECT_TRUE(unmount() && run({"mount", "-t", type_, device_, mountPoint_}));
    } else {
      EXPECT_TRUE(run({"btrfs", "filesystem", "sync", mountPoint_}));
    }
    struct statvfs status {};
    ::statvfs(mountPoint_.c_str(), &status);
    return static_cast<uint64_t>(status.f_blocks - status.f_bfree) * status.f_frsize;
  }

 private:
  // A process of ours may still be leaving the file system; try for a while.
  bool unmount() {
    ::sync();
    for (int attempt = 0; attempt < 20; ++attempt) {
      if (run({"umount", mountPoint_})) {
        return true;
      }
      ::usleep(100'000);
    }
    return false;
  }

  const std::string type_;
  TempDir dir_;
  std::string problem_;
  std::string device_;
  std::string mountPoint_;
};

// Writes `mebibytes` of random bytes, which nothing can deduplicate or compress away, to
// `path` from the mebibyte `at` on, and flushes them to the disk.
void writeFile(const std::string& path, uint64_t mebibytes, uint64_t at = 0) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  ASSERT_TRUE(run({"dd", "if=/dev/urandom", "of=" + path, "bs=1M", "iflag=fullblock",
                   "count=" + std::to_string(mebibytes), "seek=" + std::to_string(at), "conv=fsync",
                   "status=none"}))
      << path;
}

void reflink(const std::string& from, const std::string& to) {
  std::filesystem::create_directories(std::filesystem::path(to).parent_path());
  ASSERT_TRUE(run({"cp", "--reflink=always", from, to})) << from << " to " << to;
}

// `larkspan index` of `root` into `data`, then the report of each of `folders` from
// `larkspan --json inventory --path`. With `descriptors` the index run may open only that many.
std::map<std::string, Json> index(const std::string& data, const std::string& root,
                                  const std::vector<std::string>& folders, int descriptors = 0) {
  std::vector<std::string> argv = {larkspanBinary(), "--data", data, "--root", root, "index"};
  if (descriptors > 0) {
    argv.insert(argv.begin(),
                {"/usr/bin/prlimit", "--nofile=" + std::to_string(descriptors) + ":"});
  }
  const BinaryRun indexed = runBinary(argv);
  EXPECT_EQ(indexed.status, 0) << indexed.err;
  std::map<std::string, Json> reports;
  for (const std::string& folder : folders) {
    const BinaryRun shown = runLarkspan({"--data", data, "--json", "inventory", "--path", folder});
    EXPECT_EQ(shown.status, 0) << folder << ": " << shown.err;
    reports[folder] = Json::parse(shown.out, nullptr, false);
  }
  return reports;
}

uint64_t allocated(const Json& report) {
  return report.at("usage").at("allocated_bytes");
}
uint64_t exclusive(const Json& report) {
  return report.at("usage").at("exclusive_bytes");
}

bool near(uint64_t value, uint64_t expected, uint64_t margin) {
  return value + margin >= expected && value <= expected + margin;
}

// The blocks of the folders at and below `path`, which the index counts besides the files'
// extents (Btrfs gives most folders none, but the root folder of the file system some).
uint64_t folderBlocks(const std::string& path) {
  struct stat status {};
  ::lstat(path.c_str(), &status);
  uint64_t bytes = static_cast<uint64_t>(status.st_blocks) * 512;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(path)) {
    if (entry.is_directory() && !entry.is_symlink()) {
      ::lstat(entry.path().c_str(), &status);
      bytes += static_cast<uint64_t>(status.st_blocks) * 512;
    }
  }
  return bytes;
}

TEST(XfsImage, CountsReflinkedCopiesOnceAndEachFolderFreesWhatItSays) {
  LoopFileSystem fs("xfs");
  if (!fs.problem().empty()) {
    SKIP_WITHOUT_REAL_PART(fs.problem());
  }
  const std::string data = fs.scratch() / "data";
  const uint64_t empty = fs.used();

  // One 50 MiB file and two reflinked copies of it in another folder.
  writeFile(fs / "photos/big.bin", 50);
  reflink(fs / "photos/big.bin", fs / "backup/big-1.bin");
  reflink(fs / "photos/big.bin", fs / "backup/big-2.bin");
  // A sparse file (1 GiB long, 1 MiB written), one file under two names in two folders, and a
  // chain of folders deeper than the descriptors the index run may open.
  writeFile(fs / "extras/sparse.bin", 1, 100);
  std::filesystem::resize_file(fs / "extras/sparse.bin", 1024 * kMiB);
  writeFile(fs / "extras/linked.bin", 2);
  std::filesystem::create_directories(fs / "extras/inner");
  ASSERT_EQ(::link((fs / "extras/linked.bin").c_str(), (fs / "extras/inner/same.bin").c_str()), 0);
  std::string chain = fs / "deep";
  for (int level = 0; level < 200; ++level) {
    chain += "/d";
  }
  std::filesystem::create_directories(chain);
  writeFile(chain + "/end", 0);
  const uint64_t filled = fs.used();

  std::map<std::string, Json> reports =
      index(data, fs.root(), {"", "photos", "backup", "extras", "extras/inner", "deep"}, 64);
  const Json& root = reports[""];
  EXPECT_EQ(root.at("file_system"), "xfs");
  EXPECT_EQ(root.at("extent_maps"), true);

  // The example: photos 50 MiB / nothing of its own, backup the same, the root 50 MiB once.
  // (Each folder also counts its own blocks, which small XFS folders do not have.)
  for (const char* folder : {"photos", "backup"}) {
    const uint64_t own = folderBlocks(fs / folder);
    EXPECT_EQ(allocated(reports[folder]), 50 * kMiB + own) << folder;
    EXPECT_EQ(exclusive(reports[folder]), own) << folder;
  }
  EXPECT_EQ(reports["backup"].at("usage").at("files"), 2);
  // The sparse file takes what was written; the linked file counts once, and the inner
  // folder holds a name of it but does not free it alone.
  EXPECT_PRED3(near, allocated(reports["extras"]), 3 * kMiB, kBookkeeping);
  EXPECT_EQ(reports["extras"].at("usage").at("logical_bytes"), 1026 * kMiB);
  EXPECT_PRED3(near, allocated(reports["extras/inner"]), 2 * kMiB, kBookkeeping);
  EXPECT_PRED3(near, exclusive(reports["extras/inner"]), 0, kBookkeeping);
  // Every folder of the chain, and the file at its end, without a folder left unread.
  EXPECT_EQ(reports["deep"].at("usage").at("folders"), 200);
  EXPECT_EQ(reports["deep"].at("usage").at("files"), 1);
  EXPECT_EQ(root.at("usage").at("unreadable_folders"), 0);
  EXPECT_EQ(root.at("usage").at("unmapped_files"), 0);
  // The root: everything once, all of it its own; what df says the files took.
  EXPECT_EQ(exclusive(root), allocated(root));
  EXPECT_PRED3(near, allocated(root), filled - empty, 2 * kBookkeeping);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(root.at("largest_files").at(i).at("logical_bytes"), 50 * kMiB);
  }

  // Indexing photos alone: its one file is marked shared and nothing inside references it
  // again, so the copies outside hold it too.
  const Json alone = index(data, fs / "photos", {""})[""];
  EXPECT_EQ(allocated(alone), 50 * kMiB + folderBlocks(fs / "photos"));
  EXPECT_EQ(exclusive(alone), folderBlocks(fs / "photos"));

  // Each folder frees what it says: backup (nothing of its own) first; then, indexed again,
  // photos holds the data alone and frees all of it.
  std::filesystem::remove_all(fs / "backup");
  const uint64_t withoutBackup = fs.used();
  EXPECT_PRED3(near, filled - withoutBackup, exclusive(reports["backup"]), kBookkeeping);
  const Json photos = index(data, fs.root(), {"photos"})["photos"];
  EXPECT_EQ(exclusive(photos), allocated(photos));
  std::filesystem::remove_all(fs / "photos");
  EXPECT_PRED3(near, withoutBackup - fs.used(), exclusive(photos), kBookkeeping);
}

// What `btrfs filesystem du -s --raw` says of `path`: the bytes of distinct extents its
// files reference (its "Exclusive" plus "Set shared").
uint64_t btrfsDistinctBytes(const std::string& path) {
  std::istringstream lines(run({"btrfs", "filesystem", "du", "-s", "--raw", path}).value_or(""));
  std::string header;
  std::getline(lines, header);
  uint64_t total = 0, unshared = 0, setShared = 0;
  EXPECT_TRUE(lines >> total >> unshared >> setShared) << "btrfs filesystem du failed on " << path;
  return unshared + setShared;
}

TEST(BtrfsImage, CountsSnapshotsAndReflinksOnceAsBtrfsDoes) {
  LoopFileSystem fs("btrfs");
  if (!fs.problem().empty()) {
    SKIP_WITHOUT_REAL_PART(fs.problem());
  }
  const std::string data = fs.scratch() / "data";
  const uint64_t empty = fs.used();

  ASSERT_TRUE(run({"btrfs", "subvolume", "create", fs / "vol"}));
  writeFile(fs / "vol/photos/big.bin", 50);
  reflink(fs / "vol/photos/big.bin", fs / "vol/backup/big-1.bin");
  reflink(fs / "vol/photos/big.bin", fs / "vol/backup/big-2.bin");
  ::sync();
  // A snapshot of it all, which then gets a file of its own.
  ASSERT_TRUE(run({"btrfs", "subvolume", "snapshot", fs / "vol", fs / "snap"}));
  writeFile(fs / "snap/new.bin", 5);
  const uint64_t filled = fs.used();

  const std::vector<std::string> folders = {"",           "vol",  "vol/photos",
                                            "vol/backup", "snap", "snap/photos"};
  std::map<std::string, Json> reports = index(data, fs.root(), folders);
  const Json& root = reports[""];
  EXPECT_EQ(root.at("file_system"), "btrfs");
  EXPECT_EQ(root.at("usage").at("other_file_systems"), 0) << "subvolumes are entered";

  // Exactly what btrfs counts as the distinct extents of each folder, and the example's
  // figures: photos 50 MiB / nothing of its own, backup the same, the snapshot's own file
  // its own, the root everything once.
  std::map<std::string, uint64_t> extents;
  for (const std::string& folder : folders) {
    extents[folder] = allocated(reports[folder]) - folderBlocks(fs / folder);
    EXPECT_EQ(extents[folder], btrfsDistinctBytes(fs / folder)) << folder;
  }
  EXPECT_EQ(extents["vol/photos"], 50 * kMiB);
  EXPECT_EQ(exclusive(reports["vol/photos"]), 0u);
  EXPECT_EQ(extents["vol/backup"], 50 * kMiB);
  EXPECT_EQ(exclusive(reports["vol/backup"]), 0u);
  EXPECT_EQ(exclusive(reports["vol"]), 0u);
  EXPECT_EQ(extents["snap"], 55 * kMiB);
  EXPECT_EQ(exclusive(reports["snap"]), 5 * kMiB);
  EXPECT_EQ(extents[""], 55 * kMiB);
  EXPECT_EQ(exclusive(root), allocated(root));
  EXPECT_PRED3(near, allocated(root), filled - empty, 2 * kBookkeeping);

  // Indexing photos alone: its one file is marked shared and nothing inside references it
  // again, so the copies and the snapshot outside hold it too.
  const Json photos = index(data, fs / "vol/photos", {""})[""];
  EXPECT_EQ(allocated(photos), 50 * kMiB);
  EXPECT_EQ(exclusive(photos), 0u);

  // Deleting the snapshot frees what was its own.
  ASSERT_TRUE(run({"btrfs", "subvolume", "delete", "--commit-after", fs / "snap"}));
  ASSERT_TRUE(run({"btrfs", "subvolume", "sync", fs.root()}));
  EXPECT_PRED3(near, filled - fs.used(), exclusive(reports["snap"]), kBookkeeping);
}

}  // namespace
}  // namespace tamber::testing
