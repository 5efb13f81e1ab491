#pragma once

// The branches of performFileAction, one per action, for the executor's own use. Each runs
// inside the executor's frame: the request has passed preflight, "path" has been resolved to
// `target`, and the executor closes target.parent after the branch returns. Each branch
// closes everything it opened itself on every way out, returns the success reply, or throws
// a BrokerFailure.

#include <optional>
#include <string>

#include "access/grant.h"
#include "actions/digest.h"
#include "actions/executor.h"
#include "actions/resolve.h"
#include "base/reply.h"
#include "platform/unique_fd.h"

namespace tamber {

// Read-only actions on the target's parent and leaf.
ActionReply statEntry(const ResolvedPath& target);
ActionReply listFolder(const ResolvedPath& target);
// `file` is the target opened by regularFD.
ActionReply readContent(const UniqueFd& file, Deadline deadline);

// Creates `name` in `directory` exclusively (mode 0600, no link followed) holding `text`, and
// makes it durable. Throws "Provide UTF-8 text" when there is no UTF-8 text, "New text is
// limited to 32 KiB" beyond 32768 bytes, or the system's error text; a file whose write or
// fsync failed stays with what was written. Used by write_new and by replace for its new
// content.
void createTextFile(int directory, const std::string& name, const std::optional<std::string>& text);

// Creating actions on the target's parent and leaf.
ActionReply writeNew(const std::optional<std::string>& text, const ResolvedPath& target);
ActionReply makeFolder(const ResolvedPath& target);

// "copy" or "move" of the regular file `source` (opened from `target`) to the checked
// destination.
ActionReply transferFile(const CheckedAction& action, const AgentGrant& grant,
                         const ResolvedPath& target, UniqueFd source, Deadline deadline);

// "replace" of the regular file `current` (opened from `target`), keeping it as a backup.
ActionReply replaceContent(const CheckedAction& action, const ResolvedPath& target,
                           UniqueFd current, Deadline deadline);

}  // namespace tamber
