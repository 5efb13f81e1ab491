#include "actions/read_actions.h"

#include <fcntl.h>
#include <sys/stat.h>

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
  std::string key;   // NFC form: the sort order is that of canonically composed text
  std::string name;  // what the agent sees: the name's bytes as UTF-8, ill-formed parts U+FFFD
};

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

ActionReply listFolder(const ResolvedPath& target) {
  UniqueFd folder(::openat(target.parent.get(), target.leaf.c_str(),
                           O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC));
  if (!folder) {
    throw errnoFailure();
  }
  UniqueDir stream(::fdopendir(folder.get()));
  if (!stream) {
    throw errnoFailure();
  }
  folder.release();  // closedir closes it now

  // At most one name more than is returned, whatever the folder's size: enough to say that
  // there is more, and a bounded cost for a folder of a million entries.
  std::vector<ListedName> names;
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
    names.push_back(std::move(listed));
  }

  // UTF-8 byte order is code-point order; two spellings of one NFC text keep a fixed order.
  std::sort(names.begin(), names.end(), [](const ListedName& a, const ListedName& b) {
    return a.key != b.key ? a.key < b.key : a.name < b.name;
  });
  const bool hasMore = names.size() > kListLimit;
  names.resize(std::min(names.size(), kListLimit));

  std::vector<std::string> entries;
  entries.reserve(names.size());
  for (ListedName& listed : names) {
    entries.push_back(std::move(listed.name));
  }
  ActionReply reply;
  reply.setStrings("entries", entries);
  reply.setBool("has_more", hasMore);
  reply.setString("notice", kListNotice);
  return reply;
}

ActionReply readContent(const UniqueFd& file, Deadline deadline) {
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) {
    throw errnoFailure();
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
  reply.setString("data_base64",
                  base64Encode(std::string_view(reinterpret_cast<const char*>(content.data()),
                                                content.size())));
  reply.setInteger("bytes_read", static_cast<std::int64_t>(count));
  reply.setString("sha256", sha256);
  return reply;
}

}  // namespace tamber
