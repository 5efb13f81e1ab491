#include "actions/create_actions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <optional>

#include "actions/new_file.h"
#include "base/failure.h"
#include "base/text.h"
#include "platform/file_status.h"
#include "platform/fd_io.h"
#include "platform/unique_fd.h"

namespace tamber {
namespace {

constexpr size_t kTextLimit = 32768;

}  // namespace

struct stat createTextFile(int directory, const std::string& name,
                           const std::optional<std::string>& text) {
  // A decoded JSON string is always UTF-8; a request built in-process might not be.
  require(text.has_value() && validUtf8(*text) == *text, "Provide UTF-8 text");
  require(text->size() <= kTextLimit, "New text is limited to 32 KiB");

  // Written whole before it has its name: a file that could not be written whole is no
  // file the agent made, and nobody ever sees it.
  NewFile file(directory, name);
  if (const int error = writeAll(file.fd(), *text)) {
    throw errnoFailure(error);
  }
  if (::fsync(file.fd()) != 0) {
    throw errnoFailure();
  }
  return file.complete();
}

ActionReply writeNew(const std::optional<std::string>& text, const ResolvedPath& target,
                     ChangeProof* proof) {
  const struct stat created = createTextFile(target.parent.get(), target.leaf, text);
  if (proof != nullptr) {
    *proof = proofOf(created);
  }
  ActionReply reply;
  reply.setBool("created", true);
  reply.setInteger("bytes_written", static_cast<std::int64_t>(text->size()));
  reply.setString("notice", "Existing files are never overwritten.");
  return reply;
}

ActionReply makeFolder(const ResolvedPath& target, ChangeProof* proof) {
  require(target.leaf != ".", "Cannot change a scope root");
  if (::mkdirat(target.parent.get(), target.leaf.c_str(), 0700) != 0) {
    throw errnoFailure();
  }
  if (proof != nullptr) {
    // The folder is looked at an instant later, opened from the descriptor that created it;
    // only a process of this user that renamed it away in between could make this fail, and
    // then the proof stays empty, which no later check accepts.
    const UniqueFd made(::openat(target.parent.get(), target.leaf.c_str(),
                                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat created {};
    if (made && ::fstat(made.get(), &created) == 0) {
      *proof = proofOf(created);
      // Its birth time (where the file system keeps one) tells it from a folder made later
      // that is given the same inode number. Until something is put in it, a new folder's
      // modification time is the same instant.
      if (const std::optional<std::int64_t> born = birthTimeNs(made.get(), "")) {
        proof->modifiedNs = *born;
      }
    }
  }
  ActionReply reply;
  reply.setBool("created", true);
  return reply;
}

}  // namespace tamber
