#include "selfcheck/broker_self_test.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include "access/grant.h"
#include "access/path_policy.h"
#include "actions/executor.h"
#include "agent/elevated.h"
#include "base/base64.h"
#include "base/failure.h"
#include "base/path.h"
#include "base/reply.h"
#include "base/text.h"
#include "platform/fd_io.h"
#include "platform/rename.h"
#include "platform/unique_fd.h"

namespace tamber {
namespace {

constexpr const char* kNotEnforced = "Expected rejection was not enforced";
constexpr const char* kNotDisposable = "Provide a disposable, task-owned fixture folder";
constexpr const char* kSource = "synthetic source";

// ---- Fixture files -----------------------------------------------------------------------

// Absolute, with "." and ".." and repeated slashes gone, links not yet resolved.
std::string standardised(const std::string& path) {
  std::string absolute = path;
  if (!absolute.starts_with('/')) {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) {
      throw errnoFailure();
    }
    absolute = std::string(cwd) + "/" + absolute;
  }
  std::vector<std::string_view> kept;
  for (std::string_view part : pathComponents(absolute)) {
    if (part == "..") {
      if (!kept.empty()) {
        kept.pop_back();
      }
    } else if (part != ".") {
      kept.push_back(part);
    }
  }
  std::string result;
  for (std::string_view part : kept) {
    result.append("/").append(part);
  }
  return result.empty() ? "/" : result;
}

// The fixture must sit at least three levels down, so a slip of the hand cannot spread it
// over "/" or a folder such as /home/someone.
void requireDisposable(const std::string& path) {
  require(pathComponents(path).size() >= 3, kNotDisposable);
}

void makeFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
    throw errnoFailure();
  }
}

void makeFolders(const std::string& path) {
  std::string prefix;
  for (std::string_view part : pathComponents(path)) {
    prefix.append("/").append(part);
    makeFolder(prefix);
  }
}

void writeText(const std::string& path, const std::string& text) {
  if (const int error = writeWholeFile(path, text)) {
    throw errnoFailure(error);
  }
}

std::string readText(const std::string& path) {
  std::string text;
  if (const int error = readWholeFile(path, text)) {
    throw errnoFailure(error);
  }
  return text;
}

bool exists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

// Never onto something that exists: a second run on the same root must fail here rather than
// replace what the first run set aside.
void moveAside(const std::string& from, const std::string& to) {
  if (const int error = renameNoReplace(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str()); error != 0) {
    throw errnoFailure(error);
  }
}

// ---- Checks ------------------------------------------------------------------------------

// A negative check: `operation` must be refused, with any failure but the one that reports
// an unenforced rejection itself.
void expectRefused(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const BrokerFailure& failure) {
    if (failure.description() == kNotEnforced) {
      throw;
    }
    return;
  } catch (const std::exception&) {
    return;
  }
  throw BrokerFailure(kNotEnforced);
}

bool contains(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

std::string stringOf(const Json& reply, const char* key) {
  return std::string(stringMember(reply, key).value_or(""));
}

Json request(std::string_view action, const std::string& path, Json fields = Json::object()) {
  fields["action"] = action;
  fields["path"] = path;
  return fields;
}

void editChecks(const std::function<Json(Json)>& perform, const std::string& scope,
                const std::string& second) {
  const std::string fresh = scope + "/new.txt";
  perform(request("write_new", fresh, {{"text", "new content"}}));
  expectRefused([&] { perform(request("write_new", fresh, {{"text", "overwrite"}})); });
  const std::string sha256 = stringOf(perform(request("read", fresh)), "sha256");
  expectRefused([&] { perform(request("replace", fresh, {{"expected_sha256", "wrong"}})); });

  const Json replaced = perform(
      request("replace", fresh, {{"text", "revised content"}, {"expected_sha256", sha256}}));
  const std::string backup = stringOf(replaced, "backup_path");
  require(!backup.empty() && readText(backup) == "new content",
          "Original must survive replacement");
  require(readText(fresh) == "revised content", "Replacement readback failed");

  const std::string original = scope + "/original.txt";
  const std::string copy = scope + "/copy.txt";
  const Json copied = perform(request("copy", original, {{"destination", copy}}));
  require(copied.value("verified", false) == true && exists(original),
          "Copy must be verified and retain source");

  const std::string moved = second + "/moved.txt";
  perform(request("move", fresh, {{"destination", moved}}));
  require(!exists(fresh) && exists(moved), "Move readback failed");
  expectRefused([&] { perform(request("move", original, {{"destination", copy}})); });
}

std::string grantKindChecks(const std::string& root, bool elevated, bool edit) {
  const std::string flags =
      std::string(elevated ? "true" : "false") + "-" + (edit ? "true" : "false");
  const std::string scope = root + "/scope-" + flags;
  const std::string second = root + "/backup-" + flags;
  const std::string original = scope + "/original.txt";
  makeFolder(scope);
  makeFolder(second);
  writeText(original, kSource);

  // Elevated grants are exercised in process: the policy is the same, only the launch differs.
  GrantStore store;
  const AgentGrant grant = store.add({scope, second}, edit, elevated, /*ack=*/true);
  const auto perform = [&grant](Json action) {
    action["token"] = grant.token;
    return performFileAction(action, grant).json();
  };

  require(isSuccessReply(perform(request("list", scope))), "List failed");
  const std::optional<std::string> content =
      strictBase64Decode(stringOf(perform(request("read", original)), "data_base64"));
  require(content == kSource, "Read mismatch");
  expectRefused([&] { perform(request("read", root + "/outside/not-granted")); });
  expectRefused([&] { perform(request("read", scope + "/../outside/not-granted")); });
  if (::symlink((root + "/outside").c_str(), (scope + "/escape").c_str()) != 0) {
    throw errnoFailure();
  }
  expectRefused([&] { perform(request("write_new", scope + "/escape/no.txt", {{"text", "x"}})); });
  expectRefused([&] { perform(request("delete", original)); });

  AgentGrant expired;
  expired.token = "self-test-expired";
  expired.roots = grant.roots;
  expired.edit = grant.edit;
  expired.elevated = grant.elevated;
  expired.expires = WallClock::now() - std::chrono::seconds(1);
  expectRefused([&] { performFileAction(request("read", original), expired); });

  if (edit) {
    editChecks(perform, scope, second);
  } else {
    expectRefused([&] { perform(request("write_new", scope + "/denied", {{"text", "denied"}})); });
  }

  // A folder swapped for another under the same name must not inherit the grant.
  moveAside(scope, scope + "-retained");
  makeFolder(scope);
  expectRefused([&] { perform(request("list", scope)); });

  store.revokeAll();
  expectRefused([&] { store.get(grant.token); });

  return std::string(elevated ? "elevated-policy" : "ordinary") + "-" + (edit ? "edit" : "view") +
         ": scope, traversal, symlink, expiry, revoke and action policy";
}

void grantPolicyChecks(const std::string& root, std::vector<std::string>& checks) {
  GrantStore store;
  expectRefused([&] { store.add({root + "/outside"}, false, false, /*ack=*/false); });
  expectRefused([&] { store.add({"/"}, false, false, /*ack=*/true); });
  expectRefused([&] { guardProtected(root + "/.ssh/key"); });
  checks.push_back("mandatory acknowledgment; broad root and credential scope rejection");
  expectRefused([&] { guardProtected("/Users/example/.SSH/id"); });
  expectRefused([&] { guardProtected("/private/var/db/example"); });
  require(accessPath("/System/Volumes/Data/Users/example/file") == "/Users/example/file",
          "Data-volume user aliases must normalize to the selected scope");
}

// The failure text of a decoder run that must fail, or nothing when it did not fail.
std::optional<std::string> decoderFailure(const std::optional<LaunchError>& error) {
  try {
    decodePrivilegedReply(std::nullopt, error);
  } catch (const BrokerFailure& failure) {
    return failure.description();
  }
  return std::nullopt;
}

void replyDecodingChecks() {
  const Json denial = decodePrivilegedReply(
      std::nullopt,
      LaunchError{
          1, R"({"ok":false,"error":"Credential and agent-private paths cannot be delegated"})"});
  require(!isSuccessReply(denial) && contains(stringOf(denial, "error"), "agent-private"),
          "Helper policy denial must survive shell nonzero exit");

  const std::optional<std::string> cancelled = decoderFailure(LaunchError{-128, std::nullopt});
  require(cancelled.has_value(), "Cancellation was not rejected");
  require(contains(*cancelled, "cancelled") && !contains(*cancelled, "or privileged"),
          "Cancellation must not be confused with helper failure");

  const std::optional<std::string> launch = decoderFailure(LaunchError{127, std::nullopt});
  require(launch.has_value(), "Helper launch failure was not rejected");
  require(contains(*launch, "127") && !contains(*launch, "cancelled"),
          "Launch failure must report a system error, not cancellation");

  expectRefused([] { decodePrivilegedReply("not JSON", std::nullopt); });
  expectRefused([] { decodePrivilegedReply(R"({"other":true})", std::nullopt); });
}

// The helper's launcher, run for real without elevation: a command that prints a helper's
// refusal and exits 1 must come back as that refusal.
void realShellCheck() {
  const std::string denial = jsonData(failureReply("synthetic helper policy denial"));
  const std::string command = "/usr/bin/printf '%s' " + shellQuote(denial) + "; exit 1";
  const LaunchOutcome outcome = launchOutcomeOf(runUnprivilegedShell(command));
  const Json reply = decodePrivilegedReply(outcome.reply, outcome.error);
  require(!isSuccessReply(reply) && stringOf(reply, "error") == "synthetic helper policy denial",
          "Real shell must preserve failed-helper JSON");
}

}  // namespace

void brokerSelfTest(const std::string& rootArgument, std::FILE* out) {
  const std::string given = standardised(rootArgument);
  requireDisposable(given);
  // A link on the way may lead somewhere shallow; that is refused before anything is made.
  requireDisposable(resolvedPath(given));
  makeFolders(given);
  // Grants hold fully resolved folders; the requests must name the same paths, so a root
  // under a symbolic link is resolved once here and used in that form throughout.
  const std::string root = resolvedPath(given);
  requireDisposable(root);
  makeFolder(root + "/outside");

  std::vector<std::string> checks;
  for (bool elevated : {false, true}) {
    for (bool edit : {false, true}) {
      checks.push_back(grantKindChecks(root, elevated, edit));
    }
  }
  grantPolicyChecks(root, checks);
  replyDecodingChecks();
  realShellCheck();
  checks.push_back("real shell nonzero helper output preserved without administrator prompt");
  checks.push_back(
      "helper denial, explicit cancellation, launch failure and malformed reply distinguished");

  const Json report{{"administrator_prompt_tested", false},
                    {"checks", checks},
                    {"disposable_fixture", true},
                    {"elevated_policy_injected_without_privilege", true},
                    {"passed", true}};
  const std::string line = jsonData(report) + "\n";
  std::fwrite(line.data(), 1, line.size(), out);
  std::fflush(out);
}

}  // namespace tamber
