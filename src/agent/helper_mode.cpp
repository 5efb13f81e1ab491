#include "agent/helper_mode.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <thread>

#include "access/grant.h"
#include "actions/executor.h"
#include "agent/request_json.h"
#include "base/base64.h"
#include "base/failure.h"
#include "base/reply.h"
#include "base/time.h"
#include "platform/fd_io.h"

namespace tamber {
namespace {

constexpr const char* kMalformed = "Malformed scoped helper request";
constexpr const char* kIdentitiesRequired = "Folder identities required";
constexpr double kLongestHelperDeadlineSeconds = 3601;

std::vector<std::string> requestRoots(const Json& request) {
  auto roots = request.find("roots");
  require(roots != request.end() && roots->is_array(), kMalformed);
  std::vector<std::string> paths;
  for (const Json& root : *roots) {
    require(root.is_string(), kMalformed);
    paths.push_back(root.get<std::string>());
  }
  return paths;
}

WallClock::time_point requestDeadline(const Json& request) {
  auto expires = request.find("expires");
  require(expires != request.end() && expires->is_number(), kMalformed);
  // Compare as seconds before converting: a huge number must be refused, not overflow the
  // clock's integer ticks.
  const double seconds = expires->get<double>();
  const double now = epochSeconds(WallClock::now());
  require(seconds > now && seconds < now + kLongestHelperDeadlineSeconds,
          "Expired or invalid helper deadline");
  return WallClock::time_point(
      std::chrono::duration_cast<WallClock::duration>(std::chrono::duration<double>(seconds)));
}

// The request must carry an object of number arrays; beyond that shape, an entry is only
// believed when it is exactly [device, inode] as unsigned integers. Any other entry, like a
// root with no entry at all, names no folder, so the walk to that root refuses it as a
// changed identity: a folder without a recorded identity could be swapped without notice.
std::map<std::string, FolderIdentity> requestIdentities(const Json& request) {
  auto identities = request.find("identities");
  require(identities != request.end() && identities->is_object(), kIdentitiesRequired);
  std::map<std::string, FolderIdentity> result;
  for (const auto& [root, numbers] : identities->items()) {
    require(numbers.is_array(), kIdentitiesRequired);
    for (const Json& number : numbers) {
      require(number.is_number(), kIdentitiesRequired);
    }
    if (numbers.size() == 2 && numbers[0].is_number_unsigned() && numbers[1].is_number_unsigned()) {
      result[root] =
          FolderIdentity{numbers[0].get<std::uint64_t>(), numbers[1].get<std::uint64_t>()};
    }
  }
  return result;
}

}  // namespace

Json privilegedHelperReply(const std::string& helperRequest) {
  require(::geteuid() == 0, "Administrator authorization is required");

  const std::optional<std::string> bytes = strictBase64Decode(helperRequest);
  require(bytes.has_value(), kMalformed);
  const Json request = parseRequestJson(*bytes);
  require(request.is_object() && !request.empty(), kMalformed);
  const std::vector<std::string> roots = requestRoots(request);
  const WallClock::time_point deadline = requestDeadline(request);
  const bool mayEdit = boolMember(request, "edit").value_or(false);

  // The helper trusts nothing it was told about the folders: a fresh store applies every
  // rule a grant dialog applies, and only the roots it accepts are used.
  GrantStore store;
  const AgentGrant accepted = store.add(roots, mayEdit, /*elevated=*/true, /*ack=*/true);

  AgentGrant grant;
  grant.token = "solo-helper";
  grant.roots = accepted.roots;
  grant.edit = accepted.edit;
  grant.elevated = true;
  grant.expires = deadline;
  grant.identities = requestIdentities(request);

  return performFileAction(request, grant).json();
}

namespace {

[[noreturn]] void finish(const Json& reply, int status) {
  std::string line = jsonData(reply);
  line.push_back('\n');
  writeAll(STDOUT_FILENO, line);  // nothing more can be said when standard output is gone
  ::_exit(status);
}

}  // namespace

void armProcessTimeLimit(std::chrono::milliseconds limit, int status) {
  std::thread([limit, status] {
    std::this_thread::sleep_for(limit);
    ::_exit(status);
  }).detach();
}

void runPrivilegedHelper(const std::string& helperRequest) {
  // Armed before any check, so nothing the request contains can keep a root process alive.
  armProcessTimeLimit(kHelperTimeLimit, kHelperTimeLimitStatus);
  try {
    finish(privilegedHelperReply(helperRequest), 0);
  } catch (const BrokerFailure& failure) {
    finish(failureReply(failure.description()), 1);
  } catch (const std::exception& error) {
    finish(failureReply(error.what()), 1);
  }
}

}  // namespace tamber
