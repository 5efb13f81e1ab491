#include "actions/executor.h"

#include <algorithm>
#include <chrono>

#include "actions/action_steps.h"
#include "actions/resolve.h"

namespace tamber {

namespace {
constexpr auto kActionBudget = std::chrono::seconds(30);
}  // namespace

std::optional<std::string> stringField(const Json& request, const char* key) {
  if (!request.is_object()) {
    return std::nullopt;
  }
  const auto found = request.find(key);
  if (found == request.end() || !found->is_string()) {
    return std::nullopt;
  }
  return found->get<std::string>();
}

Json performFileAction(const Json& request, const AgentGrant& grant) {
  // Checked again here, at the moment the action runs, whatever the caller checked before.
  preflightFileAction(request, grant);
  const std::string action = stringField(request, "action").value_or("");
  const std::string path = stringField(request, "path").value_or("");

  // `target.parent` is closed by its owner on every way out of this call.
  const ResolvedPath target = parentFD(path, grant);
  const Deadline deadline = std::min<Deadline>(WallClock::now() + kActionBudget, grant.expires);

  if (action == "stat") {
    return statEntry(target);
  }
  if (action == "list") {
    return listFolder(target);
  }
  if (action == "mkdir") {
    return makeFolder(target);
  }
  if (action == "write_new") {
    return writeNew(request, target);
  }

  // Everything else works on content: the target must be a regular file with one link.
  UniqueFd file = regularFD(target.parent.get(), target.leaf);
  if (action == "read") {
    return readContent(file, deadline);
  }
  if (action == "replace") {
    return replaceContent(request, grant, target, std::move(file), deadline);
  }
  return transferFile(request, grant, target, std::move(file), deadline);
}

}  // namespace tamber
