// The inventory on real XFS and Btrfs file systems, made in image files and loop-mounted:
// reflinked copies, snapshots, sparse files and a tree deeper than the process's descriptor
// limit, with every figure held against what the file system itself reports.
// Needs root (to mount); where a file system cannot be made or mounted the tests skip with
// the reason, and fail instead when TAMBER_REQUIRE_REAL_PARTS is set (as in CI).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "engine/larkspan_harness.h"
#include "platform/extent_map.h"
#include "platform/process.h"
#include "platform/unique_fd.h"
#include "support/loop_file_system.h"
#include "support/temp_dir.h"

namespace tamber::testing {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;
// What a file system spends on its own bookkeeping around the files a test writes (inode
// chunks, btree blocks): the margin between its free-space figures and the data.
constexpr uint64_t kBookkeeping = 512 * 1024;

// Writes `mebibytes` of random bytes, which nothing can deduplicate or compress away, to
// `path` from the mebibyte `at` on, and flushes them to the disk.
void writeFile(const std::string& path, uint64_t mebibytes, uint64_t at = 0) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  ASSERT_TRUE(run({"dd", "if=/dev/urandom", "of=" + path, "bs=1M", "iflag=fullblock",
                   "count=" + std::to_string(mebibytes), "seek=" + std::to_string(at), "conv=fsync",
                   "status=none"}))
      << path;
}

// `larkspan index` of `root` into `data`, a run that may open only 64 descriptors, then the
// report of each of `folders` from `larkspan --json inventory --path`.
std::map<std::string, Json> index(const std::string& data, const std::string& root,
                                  const std::vector<std::string>& folders) {
  const BinaryRun indexed = runBinary({"/usr/bin/prlimit", "--nofile=64:", larkspanBinary(),
                                       "--data", data, "--root", root, "index"});
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

// The example on a file system of `type`: one 50 MiB file and two reflinked copies of it in
// another folder. Beside it a sparse file (1 GiB long, 1 MiB written) and a chain of folders
// deeper than the descriptors the index run may open; on Btrfs also a snapshot of it all,
// which then gets a file of its own. Every figure is held against the file system's own.
void countsAsTheFileSystemDoes(const std::string& type) {
  LoopFileSystem fs(type);
  if (!fs.problem().empty()) {
    SKIP_WITHOUT_REAL_PART(fs.problem());
  }
  const bool btrfs = type == "btrfs";
  const std::string data = fs.scratch() / "data";
  const uint64_t empty = fs.used();
  writeFile(fs / "photos/big.bin", 50);
  std::filesystem::create_directories(fs / "backup");
  for (const char* copy : {"backup/big-1.bin", "backup/big-2.bin"}) {
    ASSERT_TRUE(run({"cp", "--reflink=always", fs / "photos/big.bin", fs / copy})) << copy;
  }
  writeFile(fs / "extras/sparse.bin", 1, 100);
  std::filesystem::resize_file(fs / "extras/sparse.bin", 1024 * kMiB);
  std::string chain = fs / "deep";
  for (int level = 0; level < 200; ++level) {
    chain += "/d";
  }
  std::filesystem::create_directories(chain);
  writeFile(chain + "/end", 0);
  std::vector<std::string> folders = {"", "photos", "backup", "extras", "deep"};
  if (btrfs) {
    ::sync();
    ASSERT_TRUE(run({"btrfs", "subvolume", "snapshot", fs.root(), fs / "snap"}));
    writeFile(fs / "snap/new.bin", 5);
    folders.push_back("snap");
  }
  const uint64_t filled = fs.used();

  std::map<std::string, Json> reports = index(data, fs.root(), folders);
  const Json& root = reports[""];
  EXPECT_EQ(root.at("file_system"), type);
  EXPECT_EQ(root.at("extent_maps"), true);
  // What each folder's files take (each folder also counts its own blocks): on Btrfs exactly
  // the distinct extents btrfs counts.
  std::map<std::string, uint64_t> extents;
  for (const std::string& folder : folders) {
    extents[folder] = allocated(reports[folder]) - folderBlocks(fs / folder);
    if (btrfs) {
      EXPECT_EQ(extents[folder], btrfsDistinctBytes(fs / folder)) << folder;
    }
  }
  // The example's figures: photos 50 MiB / nothing of its own, backup the same.
  for (const char* folder : {"photos", "backup"}) {
    EXPECT_EQ(extents[folder], 50 * kMiB) << folder;
    EXPECT_EQ(exclusive(reports[folder]), folderBlocks(fs / folder)) << folder;
  }
  EXPECT_EQ(reports["backup"].at("usage").at("files"), 2);
  // The sparse file takes what was written; the snapshot holds its own file alone.
  EXPECT_PRED3(near, extents["extras"], kMiB, kBookkeeping);
  EXPECT_EQ(reports["extras"].at("usage").at("logical_bytes"), 1024 * kMiB);
  if (btrfs) {
    EXPECT_EQ(extents["snap"], 56 * kMiB);
    EXPECT_EQ(exclusive(reports["snap"]), 5 * kMiB + folderBlocks(fs / "snap"));
    EXPECT_EQ(extents[""], 56 * kMiB);
  }
  // Every folder of the chain, and the file at its end, without a folder left unread; the
  // snapshot, a subvolume, is entered.
  EXPECT_EQ(reports["deep"].at("usage").at("folders"), 200);
  EXPECT_EQ(reports["deep"].at("usage").at("files"), 1);
  for (const char* zero : {"unreadable_folders", "unmapped_files", "other_file_systems"}) {
    EXPECT_EQ(root.at("usage").at(zero), 0) << zero;
  }
  // The root: everything once, all of it its own; what df says the files took.
  EXPECT_EQ(exclusive(root), allocated(root));
  EXPECT_PRED3(near, allocated(root), filled - empty, 2 * kBookkeeping);

  // Indexing photos alone: its one file is marked shared and nothing inside references it
  // again, so the copies outside hold it too.
  const Json alone = index(data, fs / "photos", {""})[""];
  EXPECT_EQ(allocated(alone), 50 * kMiB + folderBlocks(fs / "photos"));
  EXPECT_EQ(exclusive(alone), folderBlocks(fs / "photos"));

  // A folder frees what it says: backup nothing (of its own); the snapshot its own file.
  if (btrfs) {
    ASSERT_TRUE(run({"btrfs", "subvolume", "delete", "--commit-after", fs / "snap"}));
    ASSERT_TRUE(run({"btrfs", "subvolume", "sync", fs.root()}));
  } else {
    std::filesystem::remove_all(fs / "backup");
  }
  EXPECT_PRED3(near, filled - fs.used(), exclusive(reports[btrfs ? "snap" : "backup"]),
               kBookkeeping);
}

TEST(XfsImage, CountsReflinkedCopiesOnceAndEachFolderFreesWhatItSays) {
  countsAsTheFileSystemDoes("xfs");
}

// Maps whose extents lie in different allocation groups are read side by side, each group's
// in turn: the group of a file's inode and of its data are read from XFS's geometry, as
// xfs_info reports it, and a new file's data lies in its inode's group.
TEST(XfsImage, NamesTheAllocationGroupOfAFilesInodeAndOfItsData) {
  LoopFileSystem fs("xfs");
  if (!fs.problem().empty()) {
    SKIP_WITHOUT_REAL_PART(fs.problem());
  }
  const UniqueFd root(::open((fs / "").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const std::optional<SpaceGroups> groups = spaceGroups(root.get());
  ASSERT_TRUE(groups);
  const std::string info = run({"xfs_info", fs / ""}).value_or("");
  EXPECT_NE(info.find("agcount=" + std::to_string(groups->count) + ","), std::string::npos) << info;
  std::set<uint32_t> seen;
  for (int i = 0; i < 8; ++i) {
    // Each new folder goes to the next group, and its files with it.
    const std::string file = fs / ("folder-" + std::to_string(i) + "/file");
    writeFile(file, 1);
    const UniqueFd opened(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status {};
    std::vector<Extent> extents;
    ASSERT_TRUE(opened && ::fstat(opened.get(), &status) == 0 &&
                readExtentMap(opened.get(), extents) == 0 && !extents.empty())
        << file;
    EXPECT_EQ(groups->ofInode(status.st_ino), groups->ofPhysical(extents[0].physical)) << file;
    seen.insert(groups->ofInode(status.st_ino));
  }
  EXPECT_EQ(seen.size(), groups->count);
}

TEST(BtrfsImage, CountsSnapshotsAndReflinksOnceAsBtrfsDoes) {
  countsAsTheFileSystemDoes("btrfs");
}

// A compressed extent reports where its data starts and the length it decodes to. Shared, it
// must not swallow the extents stored after it: each counts what the file holds, as its
// blocks say.
TEST(BtrfsImage, CountsSharedCompressedExtentsOnceEach) {
  LoopFileSystem fs("btrfs");
  if (!fs.problem().empty()) {
    SKIP_WITHOUT_REAL_PART(fs.problem());
  }
  std::filesystem::create_directories(fs / "text");
  ASSERT_TRUE(run({"btrfs", "property", "set", fs / "text", "compression", "zstd"}));
  std::string log;
  for (int line = 0; log.size() < 2 * kMiB; ++line) {
    char text[65];
    std::snprintf(text, sizeof text, "%010d: a line of a log, which compresses well ........\n",
                  line);
    log += text;
  }
  std::ofstream(fs / "text/log.txt", std::ios::binary) << log.substr(0, 2 * kMiB);
  ::sync();
  ASSERT_TRUE(run({"cp", "--reflink=always", fs / "text/log.txt", fs / "copy.txt"}));
  ASSERT_TRUE(run({"filefrag", "-v", fs / "text/log.txt"}).value_or("").find("encoded") !=
              std::string::npos)
      << "the file was not compressed";
  struct stat status {};
  ::lstat((fs / "text/log.txt").c_str(), &status);
  const uint64_t blocks = static_cast<uint64_t>(status.st_blocks) * 512;
  std::map<std::string, Json> reports = index(fs.scratch() / "data", fs.root(), {"", "text"});
  EXPECT_EQ(allocated(reports["text"]) - folderBlocks(fs / "text"), blocks);
  EXPECT_EQ(allocated(reports[""]) - folderBlocks(fs.root()), blocks);  // the copy adds nothing
}

// A bind mount of a folder of the same file system has its device but is another mount: the
// index leaves it out, or its files would count twice.
// So is a file mounted over a name, from another file system or this one; a file that overlayfs
// shows from a layer on another file system (another device than its folder's) is counted.
TEST(BindMount, IsLeftOutLikeAnyOtherMount) {
  TempDir dir;
  writeFile(dir / "tree/own/file.bin", 1);
  const std::string mirror = dir.mkdir("tree/mirror");
  const std::string over = dir.write("tree/over.bin", "");
  const std::string twin = dir.write("tree/twin.bin", "");
  const std::string lower = dir.mkdir("lower");
  const std::string upper = dir.mkdir("upper");
  const std::string merged = dir.mkdir("tree/merged");
  if (::geteuid() != 0 || !run({"mount", "--bind", dir / "tree/own", mirror})) {
    SKIP_WITHOUT_REAL_PART("a bind mount needs root");
  }
  const bool layers = run({"mount", "-t", "tmpfs", "tmpfs", lower}) &&
                      run({"mount", "-t", "tmpfs", "tmpfs", upper});
  std::ofstream(lower + "/layer.txt") << std::string(5000, 'l');
  std::filesystem::create_directories(upper + "/data");
  std::filesystem::create_directories(upper + "/work");
  const bool mounted =
      layers && run({"mount", "--bind", lower + "/layer.txt", over}) &&
      run({"mount", "--bind", dir / "tree/own/file.bin", twin}) &&
      run({"mount", "-t", "overlay", "overlay", "-o",
           "xino=off,lowerdir=" + lower + ",upperdir=" + upper + "/data,workdir=" + upper + "/work",
           merged});
  const Json root = index(dir / "data", dir / "tree", {""})[""];
  const Json layered = index(dir / "data", merged, {""})[""];
  for (const std::string& point : {merged, twin, over, upper, lower, mirror}) {
    run({"umount", point});
  }
  ASSERT_TRUE(mounted) << "the tmpfs, bind or overlay mounts failed";
  EXPECT_EQ(root.at("usage").at("files"), 1);
  EXPECT_EQ(root.at("usage").at("other_file_systems"), 2);  // mirror and merged
  EXPECT_EQ(layered.at("usage").at("files"), 1);
  EXPECT_EQ(layered.at("usage").at("logical_bytes"), 5000);
}

}  // namespace
}  // namespace tamber::testing
