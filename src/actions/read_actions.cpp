#include "actions/read_actions.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <vector>

#include "base/base64.h"
#include "base/failure.h"
#include "base/text.h"
#include "platform/fd_io.h"

namespace tamber {
namespace {

constexpr off_t kReadLimit = 32768;
constexpr size_t kListLimit = 200;
constexpr const char* kListNotice =
    "Choose a narrower folder when truncated; filenames are private.";

struct ListedName {
  std::string key;      // NFC form: the sort order is that of canonically composed text
  std::string name;     // what the agent sees: the name's bytes as UTF-8, ill-formed parts U+FFFD
  bool folder = false;  // a folder itself, not a link to one (pages only)
};

std::string_view asText(const std::vector<unsigned char>& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// 16 hexadecimal digits that stand for the open folder's device and inode: what a continuation
// is checked against, without handing out the numbers themselves.
std::string folderDigits(int folder) {
  struct stat status {};
  if (::fstat(folder, &status) != 0) {
    throw errnoFailure();
  }
  const std::uint64_t identity[2] = {status.st_dev, status.st_ino};
  return memoryDigest(identity, sizeof identity).substr(0, 16);
}

// Whether the entry is a folder, never following a link: the type the file system reported
// with the name, or, where it reports none, the entry's own status.
bool isFolder(DIR* stream, const dirent& entry) {
  if (entry.d_type != DT_UNKNOWN) {
    return entry.d_type == DT_DIR;
  }
  struct stat status {};
  return ::fstatat(::dirfd(stream), entry.d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISDIR(status.st_mode);
}

// At most 32 KiB from `offset` of a file of `size` bytes, in one read: a file growing
// meanwhile never returns more than that. The digest only describes the whole file, so it is
// given only when these bytes are all of it.
ActionReply readRange(const UniqueFd& file, off_t size, std::int64_t offset) {
  const off_t left = offset < size ? size - offset : 0;
  std::vector<unsigned char> content(static_cast<size_t>(std::min(left, kReadLimit)));
  const ssize_t count =
      content.empty() ? 0 : readSomeAt(file.get(), content.data(), content.size(), offset);
  if (count < 0) {
    throw errnoFailure();
  }
  content.resize(static_cast<size_t>(count));

  ActionReply reply;
  reply.setString("data_base64", base64Encode(asText(content)));
  reply.setInteger("bytes_read", static_cast<std::int64_t>(count));
  reply.setInteger("offset", offset);
  reply.setInteger("file_bytes", static_cast<std::int64_t>(size));
  reply.setBool("has_more", offset + count < size);
  if (offset == 0 && count == size) {
    reply.setString("sha256", memoryDigest(content.data(), content.size()));
  }
  return reply;
}

}  // namespace

ActionReply statEntry(const ResolvedPath& target) {
  struct stat status {};
  if (::fstatat(target.parent.get(), target.leaf.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    throw errnoFailure();
  }
  ActionReply reply;
  reply.setInteger("file_bytes", static_cast<std::int64_t>(status.st_size));
  reply.setBool("is_directory", S_ISDIR(status.st_mode));
  reply.setNull("physical_data_bytes");
  return reply;
}

ActionReply listFolder(const ResolvedPath& target,
                       const std::optional<ListContinuation>& continuation) {
  UniqueFd folder(::openat(target.parent.get(), target.leaf.c_str(),
                           O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC));
  if (!folder) {
    throw errnoFailure();
  }
  // A continuation names the folder it was handed out for, so that a position is never
  // applied to the stream of another folder.
  std::string folderName;
  if (continuation) {
    folderName = folderDigits(folder.get());
    require(continuation->folder.empty() || continuation->folder == folderName,
            "Unknown list continuation; list the folder again without one");
  }
  UniqueDir stream(::fdopendir(folder.get()));
  if (!stream) {
    throw errnoFailure();
  }
  folder.release();  // closedir closes it now
  if (continuation && continuation->position != 0) {
    ::seekdir(stream.get(), static_cast<long>(continuation->position));
  }

  // At most one name more than is returned, whatever the folder's size: enough to say that
  // there is more, and a bounded cost for a folder of a million entries. A page keeps the
  // first 200 in the folder's own order, so that the next one can start right after them;
  // without pages the first 200 in sorted order are kept, as always.
  std::vector<ListedName> names;
  long next = 0;  // the stream's position after the 200th name
  while (names.size() <= kListLimit) {
    const dirent* entry = ::readdir(stream.get());
    if (entry == nullptr) {
      break;  // the end, or a read error: either way no more names
    }
    const std::string_view raw = entry->d_name;
    if (raw == "." || raw == "..") {
      continue;
    }
    ListedName listed;
    if (isAscii(raw)) {
      listed.name = std::string(raw);
      listed.key = listed.name;
    } else {
      listed.name = validUtf8(raw);
      listed.key = nfc(listed.name);
    }
    if (continuation && names.size() < kListLimit) {
      listed.folder = isFolder(stream.get(), *entry);
      next = ::telldir(stream.get());
    }
    names.push_back(std::move(listed));
  }
  const bool hasMore = names.size() > kListLimit;
  if (continuation) {
    names.resize(std::min(names.size(), kListLimit));
  }

  // UTF-8 byte order is code-point order; two spellings of one NFC text keep a fixed order.
  std::sort(names.begin(), names.end(), [](const ListedName& a, const ListedName& b) {
    return a.key != b.key ? a.key < b.key : a.name < b.name;
  });
  names.resize(std::min(names.size(), kListLimit));

  std::vector<std::string> entries;
  std::vector<std::string> folders;
  entries.reserve(names.size());
  for (ListedName& listed : names) {
    if (listed.folder) {
      folders.push_back(listed.name);
    }
    entries.push_back(std::move(listed.name));
  }
  ActionReply reply;
  reply.setStrings("entries", entries);
  reply.setBool("has_more", hasMore);
  reply.setString("notice", kListNotice);
  if (continuation) {
    reply.setStrings("folders", folders);
    if (hasMore) {
      reply.setString("continuation", continuationText({next, folderName}));
    }
  }
  return reply;
}

ActionReply readContent(const UniqueFd& file, std::optional<std::int64_t> offset,
                        Deadline deadline) {
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) {
    throw errnoFailure();
  }
  if (offset) {
    return readRange(file, status.st_size, *offset);
  }
  require(status.st_size <= kReadLimit,
          "Content read is limited to 32 KiB; request metadata for larger files");

  // One read of the size seen above: a file growing meanwhile never returns more than that.
  std::vector<unsigned char> content(static_cast<size_t>(status.st_size));
  const ssize_t count = content.empty() ? 0 : readSome(file.get(), content.data(), content.size());
  if (count < 0) {
    throw errnoFailure();
  }
  content.resize(static_cast<size_t>(count));

  // The digest is what a later replace must present, so it describes exactly the bytes this
  // reply holds, even when the file changed since they were read; a digest of the file as it
  // is now could let a replace overwrite content the agent never saw. At most 32 KiB, hashed
  // from memory, under the deadline every digest keeps.
  require(WallClock::now() < deadline, "Operation time budget reached");
  const std::string sha256 = memoryDigest(content.data(), content.size());

  ActionReply reply;
  reply.setString("data_base64", base64Encode(asText(content)));
  reply.setInteger("bytes_read", static_cast<std::int64_t>(count));
  reply.setString("sha256", sha256);
  return reply;
}

}  // namespace tamber
