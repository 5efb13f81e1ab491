#include "actions/transfer_actions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "actions/new_file.h"
#include "base/failure.h"
#include "platform/fd_io.h"
#include "platform/rename.h"

namespace tamber {
namespace {

constexpr off_t kCopyLimit = off_t{1} << 30;
constexpr size_t kChunk = 65536;

ActionReply moveFile(const UniqueFd& source, const ResolvedPath& from, const ResolvedPath& to,
                     ChangeProof* proof) {
  // Never overwrites, and never copies between file systems as a fallback.
  const int error =
      renameNoReplace(from.parent.get(), from.leaf.c_str(), to.parent.get(), to.leaf.c_str());
  if (error != 0) {
    throw errnoFailure(error);
  }
  // The open descriptor is the file that moved: a rename keeps the inode.
  struct stat moved {};
  if (proof != nullptr && ::fstat(source.get(), &moved) == 0) {
    *proof = proofOf(moved);
  }
  ActionReply reply;
  reply.setBool("moved", true);
  reply.setBool("overwrite", false);
  reply.setString("notice",
                  "Atomic same-volume rename. No permanent deletion. Cross-volume moves require "
                  "verified copy first.");
  return reply;
}

ActionReply copyFile(const UniqueFd& source, const ResolvedPath& to, Deadline deadline,
                     ChangeProof* proof, const StillWanted& stillWanted) {
  struct stat before {};
  if (::fstat(source.get(), &before) != 0) {
    throw errnoFailure();
  }
  require(before.st_size <= kCopyLimit,
          "One copy is limited to 1 GiB; use an approved large-file backup tool for larger files");

  // The copy gets its name only once verified: a copy stopped halfway was never seen.
  NewFile copy(to.parent.get(), to.leaf);

  const std::string sourceDigest = digest(source.get(), deadline, stillWanted);
  if (::lseek(source.get(), 0, SEEK_SET) != 0) {
    throw errnoFailure();
  }
  std::vector<unsigned char> buffer(kChunk);
  for (;;) {
    require(WallClock::now() < deadline, "Copy time budget reached");
    require(!stillWanted || stillWanted(), kClientGone);
    const ssize_t count = readSome(source.get(), buffer.data(), buffer.size());
    if (count < 0) {
      throw errnoFailure();
    }
    if (count == 0) {
      break;
    }
    const std::string_view bytes(reinterpret_cast<const char*>(buffer.data()),
                                 static_cast<size_t>(count));
    if (const int error = writeAll(copy.fd(), bytes)) {
      throw errnoFailure(error);
    }
  }
  if (::fsync(copy.fd()) != 0) {
    throw errnoFailure();
  }

  // The copy is read back from its own descriptor: what is verified is what was stored.
  const std::string copyDigest = digest(copy.fd(), deadline, stillWanted);
  require(copyDigest == sourceDigest, "Copy verification failed; original preserved");
  struct stat after {};
  if (::fstat(source.get(), &after) != 0) {
    throw errnoFailure();
  }
  require(after.st_size == before.st_size && after.st_mtim.tv_sec == before.st_mtim.tv_sec &&
              after.st_mtim.tv_nsec == before.st_mtim.tv_nsec,
          "Source changed during copy");
  const struct stat copied = copy.complete();
  if (proof != nullptr) {
    *proof = proofOf(copied);
    proof->sha256 = copyDigest;
  }

  ActionReply reply;
  reply.setBool("copied", true);
  reply.setBool("source_preserved", true);
  reply.setString("sha256", copyDigest);
  reply.setBool("verified", true);
  reply.setBool("overwrite", false);
  return reply;
}

}  // namespace

ActionReply transferFile(const CheckedAction& action, const AgentGrant& grant,
                         const ResolvedPath& target, UniqueFd source, Deadline deadline,
                         ChangeProof* proof, const StillWanted& stillWanted) {
  const ResolvedPath to = openParent(*action.destination, grant);
  require(to.leaf != "." && target.leaf != ".", "Cannot replace a scope root");
  if (action.action == FileAction::move) {
    return moveFile(source, target, to, proof);
  }
  return copyFile(source, to, deadline, proof, stillWanted);
}

}  // namespace tamber
