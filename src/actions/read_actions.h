#pragma once

// A branch of performFileAction, for the executor's own use. It runs inside the executor's
// frame: the request has passed preflight, "path" has been resolved to `target`, and the
// executor closes target.parent after the branch returns. It closes everything it opened
// itself on every way out, returns the success reply, or throws a BrokerFailure.

#include <cstdint>
#include <optional>

#include "actions/digest.h"
#include "actions/preflight.h"
#include "actions/resolve.h"
#include "base/reply.h"
#include "platform/unique_fd.h"

namespace tamber {

// Read-only actions on the target's parent and leaf.
ActionReply statEntry(const ResolvedPath& target);

// Without a continuation: the alphabetically first 200 of the first 201 names in the
// folder's own order, "has_more" when there were 201. With one: the next page of at most 200
// names in the folder's own order (sorted within the page), the page's folders named again in
// "folders", and a "continuation" for the page after it when there is one. Either way at
// most 201 entries are read past the starting position, whatever the folder's size.
ActionReply listFolder(const ResolvedPath& target,
                       const std::optional<ListContinuation>& continuation);

// `file` is the target opened by regularFD. Without an offset: the whole file of at most 32
// KiB and its digest. With one: at most 32 KiB from that offset of a file of any size, with
// "offset", "file_bytes" and "has_more", and the digest only when that was the whole file.
ActionReply readContent(const UniqueFd& file, std::optional<std::int64_t> offset,
                        Deadline deadline);

}  // namespace tamber
