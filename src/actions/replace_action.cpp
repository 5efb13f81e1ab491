#include "actions/replace_action.h"

#include <sys/stat.h>

#include "actions/create_actions.h"
#include "base/failure.h"
#include "base/random_uuid.h"
#include "platform/rename.h"

namespace tamber {
namespace {

constexpr off_t kReplaceLimit = 32768;
constexpr const char* kBackupPrefix = ".tamber-backup-";

// The agent's path with its last component swapped for `name`, so the backup is resolved
// through the same folders as the target. Trailing slashes do not make a component.
std::string siblingPath(std::string path, const std::string& name) {
  while (!path.empty() && path.back() == '/') {
    path.pop_back();
  }
  const size_t slash = path.rfind('/');
  path.resize(slash == std::string::npos ? 0 : slash);
  while (!path.empty() && path.back() == '/') {
    path.pop_back();
  }
  return path + "/" + name;
}

}  // namespace

ActionReply replaceContent(const CheckedAction& action, const ResolvedPath& target,
                           UniqueFd current, Deadline deadline, ChangeProof* proof) {
  const std::optional<std::string>& text = action.text;
  const std::optional<std::string>& expected = action.expectedSha256;
  require(text.has_value() && expected.has_value(),
          "Replacement needs text and the expected SHA-256 from a current read");

  struct stat before {};
  if (::fstat(current.get(), &before) != 0) {
    throw errnoFailure();
  }
  require(before.st_size <= kReplaceLimit, "Replacement is limited to 32 KiB text files");
  require(digest(current.get(), deadline) == *expected, "Source changed; no replacement made");

  // Stage the new content under a fresh name in the folder already open, exactly as
  // write_new creates a file: the same text checks, exclusive creation and fsync. Nothing
  // between the target and the staged file can be moved or swapped, since both are reached
  // through one descriptor.
  const std::string backupName = kBackupPrefix + randomUuid();
  const std::string backupPath = siblingPath(action.path.requested, backupName);
  const struct stat staged = createTextFile(target.parent.get(), backupName, text);

  // One atomic exchange: the target name never goes missing or half-written, and the
  // previous file (its only name, since it had one link) becomes the backup.
  const int error = renameExchange(target.parent.get(), backupName.c_str(), target.parent.get(),
                                   target.leaf.c_str());
  if (error != 0) {
    throw errnoFailure(error);
  }

  // Nothing is rolled back from here on: the checks say whether the file that went to the
  // backup name is the one whose digest the agent proved, untouched. Whatever they say, the
  // exchange has happened, and the proof tells the journal what it left, so that the person
  // sees the change and can undo it even when the agent is told it went wrong.
  if (proof != nullptr) {
    // The staged file is what now stands under the path: the exchange moved names, not
    // inodes.
    *proof = proofOf(staged);
    proof->backupPath = backupPath;
  }
  const UniqueFd backup = regularFD(target.parent.get(), backupName);
  struct stat moved {};
  if (::fstat(backup.get(), &moved) != 0) {
    throw errnoFailure();
  }
  const std::string previous = digest(backup.get(), deadline);
  if (proof != nullptr) {
    proof->backup = identityOf(moved);
    proof->previousSha256 = previous;
  }
  require(moved.st_dev == before.st_dev && moved.st_ino == before.st_ino,
          "Concurrent replacement detected; inspect the retained backup before further edits");
  require(previous == *expected, "Concurrent write detected; original path retained as backup");

  ActionReply reply;
  reply.setBool("replaced", true);
  reply.setBool("original_preserved", true);
  reply.setString("backup_path", backupPath);
  reply.setString("previous_sha256", *expected);
  reply.setString("notice",
                  "Original retained in the same selected folder. Review before any retirement.");
  return reply;
}

}  // namespace tamber
