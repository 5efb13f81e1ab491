#include "engine/mcp/edit.h"

#include <dtl/dtl.hpp>

#include <algorithm>

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

// The text's lines, each with its newline; the last one may lack it.
std::vector<std::string> linesOf(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const size_t end = std::min(text.find('\n'), text.size() - 1) + 1;
    lines.emplace_back(text.substr(0, end));
    text.remove_prefix(end);
  }
  return lines;
}

void appendLine(std::string& out, char mark, const std::string& line) {
  out.push_back(mark);
  out += line;
  if (!line.ends_with('\n')) {
    out += "\n\\ No newline at end of file\n";
  }
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
  if (before == after) {
    return "";
  }
  dtl::Diff<std::string> diff(linesOf(before), linesOf(after));
  diff.onHuge();
  diff.compose();
  diff.composeUnifiedHunks();

  std::string out = "--- " + path + "\n+++ " + path + "\n";
  for (const auto& hunk : diff.getUniHunks()) {
    // The library starts an empty side at line 1; the format starts it at 0, the line before.
    const long long from = hunk.b == 0 ? hunk.a - 1 : hunk.a;
    const long long to = hunk.d == 0 ? hunk.c - 1 : hunk.c;
    out += "@@ -" + std::to_string(from) + "," + std::to_string(hunk.b) + " +" +
           std::to_string(to) + "," + std::to_string(hunk.d) + " @@\n";
    for (const auto& part : {hunk.common[0], hunk.change, hunk.common[1]}) {
      for (const auto& [line, info] : part) {
        appendLine(out,
                   info.type == dtl::SES_ADD      ? '+'
                   : info.type == dtl::SES_DELETE ? '-'
                                                  : ' ',
                   line);
      }
    }
  }
  return out;
}

}  // namespace tamber::engine::mcp
