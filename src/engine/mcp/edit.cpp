#include "engine/mcp/edit.h"

#include <algorithm>
#include <limits>

#include "base/line_diff.h"
#include "base/text.h"

namespace tamber::engine::mcp {

namespace {

// A stretch of the original text and what replaces it.
struct Replacement {
  size_t at;
  size_t length;
  size_t edit;  // which edit, from 0
};

// How an agent recognises its edit: the start of its old text, on one line.
std::string quoted(std::string_view text) {
  constexpr size_t kShown = 60;
  std::string shown;
  for (const char c : text.substr(0, kShown)) {
    shown += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  // A cut may split a character; the quotation stays valid UTF-8.
  shown = validUtf8(shown);
  return "\"" + shown + (text.size() > kShown ? "...\"" : "\"");
}

std::string refusal(std::string sentence) {
  return sentence + " Nothing was changed.";
}

}  // namespace

EditOutcome applyEdits(std::string_view text, const std::vector<TextEdit>& edits) {
  std::vector<Replacement> replacements;
  for (size_t i = 0; i < edits.size(); ++i) {
    const std::string_view old = edits[i].oldText;
    if (old.empty()) {
      return {"", refusal("An edit's old_text is empty; quote the text to replace.")};
    }
    std::vector<size_t> found;
    for (size_t at = text.find(old); at != std::string_view::npos; at = text.find(old, at + 1)) {
      found.push_back(at);
    }
    if (found.empty()) {
      return {"", refusal("old_text " + quoted(old) +
                          " does not occur in the file; read the file again and quote it "
                          "exactly, spaces and line breaks included.")};
    }
    if (found.size() > 1 && !edits[i].replaceAll) {
      return {"", refusal("old_text " + quoted(old) + " occurs " + std::to_string(found.size()) +
                          " times in the file; quote more of the text around it so that it "
                          "occurs once, or set replace_all to replace every occurrence.")};
    }
    size_t free = 0;  // where the next occurrence that does not overlap may start
    for (const size_t at : found) {
      if (at >= free) {
        replacements.push_back({at, old.size(), i});
        free = at + old.size();
      }
    }
  }

  std::sort(replacements.begin(), replacements.end(),
            [](const Replacement& a, const Replacement& b) { return a.at < b.at; });
  std::string result;
  size_t copied = 0;
  for (size_t i = 0; i < replacements.size(); ++i) {
    const Replacement& r = replacements[i];
    if (r.at < copied) {
      const TextEdit& earlier = edits[replacements[i - 1].edit];
      const TextEdit& later = edits[r.edit];
      return {"", refusal("The old_text " + quoted(earlier.oldText) + " and the old_text " +
                          quoted(later.oldText) + " overlap in the file; make them one edit.")};
    }
    result.append(text.substr(copied, r.at - copied));
    result += edits[r.edit].newText;
    copied = r.at + r.length;
  }
  result.append(text.substr(copied));
  if (result == text) {
    return {"", refusal("The edits change nothing: each new_text equals its old_text.")};
  }
  return {std::move(result), ""};
}

std::string unifiedDiff(const std::string& path, std::string_view before, std::string_view after) {
  bool truncated = false;
  const std::vector<DiffLine> lines =
      lineDiff(before, after, std::numeric_limits<size_t>::max(), truncated);
  if (lines.empty()) {
    return "";
  }
  std::string out = "--- " + path + "\n+++ " + path + "\n";
  for (const DiffLine& line : lines) {
    if (line.kind != '@') {
      out.push_back(line.kind);
    }
    out += line.text;
    out += line.newline ? "\n" : "\n\\ No newline at end of file\n";
  }
  return out;
}

}  // namespace tamber::engine::mcp
