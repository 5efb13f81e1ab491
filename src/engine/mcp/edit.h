#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tamber::engine::mcp {

// One change of an edit: `oldText` as it stands in the file, and what takes its place.
struct TextEdit {
  std::string oldText;
  std::string newText;
  bool replaceAll = false;  // every occurrence, instead of exactly one
};

// The text after the edits, or the sentence that says why they cannot be made.
struct EditOutcome {
  std::string text;     // the edited text, when `refusal` is empty
  std::string refusal;  // why nothing was changed
};

// Applies `edits` to `text`, every one of them matched against `text` itself (not against the
// result of the edits before it). Each oldText must be non-empty and occur exactly once,
// overlapping occurrences counted ("aa" occurs twice in "aaa"), unless replaceAll is set; then
// every occurrence is replaced, left to right, an occurrence that overlaps the one before it
// skipped. No two edits may touch the same bytes, and the edits together must change
// something. A refusal names the edit by a quotation of its oldText and says what to do; the
// text is then left as it was.
EditOutcome applyEdits(std::string_view text, const std::vector<TextEdit>& edits);

// The change from `before` to `after` in the unified format with three lines of context, under
// the name `path` ("--- PATH", "+++ PATH"), a line without a final newline marked as diff marks
// it. Empty when the two are equal. The comparison is the diff library's; both texts are at
// most a few tens of KiB here.
std::string unifiedDiff(const std::string& path, std::string_view before, std::string_view after);

}  // namespace tamber::engine::mcp
