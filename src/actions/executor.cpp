#include "actions/executor.h"

#include <algorithm>
#include <chrono>

#include "actions/create_actions.h"
#include "actions/read_actions.h"
#include "actions/replace_action.h"
#include "actions/transfer_actions.h"

namespace tamber {

namespace {
constexpr auto kActionBudget = std::chrono::seconds(30);
}  // namespace

ActionReply performFileAction(const CheckedAction& action, const AgentGrant& grant,
                              ChangeProof* proof, const StillWanted& stillWanted) {
  // `target.parent` is closed by its owner on every way out of this call.
  const ResolvedPath target = openParent(action.path, grant);

  switch (action.action) {
    case FileAction::stat:
      return statEntry(target);
    case FileAction::list:
      return listFolder(target, action.continuation);
    case FileAction::mkdir:
      return makeFolder(target, proof);
    case FileAction::writeNew:
      return writeNew(action.text, target, proof);
    case FileAction::read:
    case FileAction::replace:
    case FileAction::copy:
    case FileAction::move:
      break;
  }

  // Everything else works on content: the target must be a regular file with one link.
  UniqueFd file = regularFD(target.parent.get(), target.leaf);
  const Deadline deadline = std::min<Deadline>(WallClock::now() + kActionBudget, grant.expires);
  if (action.action == FileAction::read) {
    return readContent(file, action.offset, deadline);
  }
  if (action.action == FileAction::replace) {
    return replaceContent(action, target, std::move(file), deadline, proof);
  }
  return transferFile(action, grant, target, std::move(file), deadline, proof, stillWanted);
}

ActionReply performFileAction(const Json& request, const AgentGrant& grant,
                              const StillWanted& stillWanted) {
  return performFileAction(preflightFileAction(request, grant), grant, nullptr, stillWanted);
}

}  // namespace tamber
