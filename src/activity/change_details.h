#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "activity/journal.h"
#include "base/line_diff.h"

namespace tamber {

// Text shown only when it is UTF-8 without NUL bytes and at most 32 KiB; otherwise `note`
// says why not ("binary content, 2,048 bytes, not shown", "40,000 bytes, too large to show").
struct ShownText {
  std::optional<std::string> text;
  std::string note;
};
ShownText shownText(std::string content);

// What a change did, for the page: its diff (replace), the text it created (write_new), the
// names it involved (copy, move, mkdir), read back from the files only while they are still
// exactly what the agent left (checked as the undo checks them), and notes that say why
// something is not shown.
struct ChangeDetails {
  std::vector<std::pair<std::string, std::string>> names;  // label, path
  std::vector<DiffLine> diff;                              // replace
  bool diffTruncated = false;
  std::optional<ShownText> created;  // write_new
  std::vector<std::string> notes;
};
ChangeDetails changeDetails(const JournalEntry& entry, const JournalGrant& grant);

}  // namespace tamber
