#pragma once

// A branch of performFileAction, for the executor's own use. It runs inside the executor's
// frame: the request has passed preflight, "path" has been resolved to `target`, and the
// executor closes target.parent after the branch returns. It closes everything it opened
// itself on every way out, returns the success reply, or throws a BrokerFailure.

#include <optional>
#include <string>

#include "actions/change_proof.h"
#include "actions/resolve.h"
#include "base/reply.h"

namespace tamber {

// Creates `name` in `directory` holding `text` (mode 0600, never over anything that has the
// name, no link followed), durable before it has its name. Throws "Provide UTF-8 text" when
// there is no UTF-8 text, "New text is limited to 32 KiB" beyond 32768 bytes, or the system's
// error text, and then leaves nothing. Used by write_new and by replace for its new content.
// Returns the new file's status, taken from its own descriptor.
struct stat createTextFile(int directory, const std::string& name,
                           const std::optional<std::string>& text);

// Creating actions on the target's parent and leaf; `proof`, when given, receives what they
// created.
ActionReply writeNew(const std::optional<std::string>& text, const ResolvedPath& target,
                     ChangeProof* proof);
ActionReply makeFolder(const ResolvedPath& target, ChangeProof* proof);

}  // namespace tamber
