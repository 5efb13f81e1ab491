#include "base/line_diff.h"

#include <dtl/dtl.hpp>

#include <algorithm>

namespace tamber {

namespace {

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

}  // namespace

std::vector<DiffLine> lineDiff(std::string_view before, std::string_view after, size_t maxLines,
                               bool& truncated) {
  truncated = false;
  std::vector<DiffLine> out;
  if (before == after) {
    return out;
  }
  dtl::Diff<std::string> diff(linesOf(before), linesOf(after));
  diff.onHuge();
  diff.compose();
  diff.composeUnifiedHunks();
  const auto add = [&](char kind, std::string text) {
    if (out.size() >= maxLines) {
      truncated = true;
      return;
    }
    const bool newline = kind == '@' || text.ends_with('\n');
    if (newline && kind != '@') {
      text.pop_back();
    }
    out.push_back(DiffLine{kind, std::move(text), newline});
  };
  for (const auto& hunk : diff.getUniHunks()) {
    // The library starts an empty side at line 1; the format starts it at 0, the line before.
    const long long from = hunk.b == 0 ? hunk.a - 1 : hunk.a;
    const long long to = hunk.d == 0 ? hunk.c - 1 : hunk.c;
    add('@', "@@ -" + std::to_string(from) + "," + std::to_string(hunk.b) + " +" +
                 std::to_string(to) + "," + std::to_string(hunk.d) + " @@");
    for (const auto* part : {&hunk.common[0], &hunk.change, &hunk.common[1]}) {
      for (const auto& [text, info] : *part) {
        add(info.type == dtl::SES_ADD ? '+' : info.type == dtl::SES_DELETE ? '-' : ' ', text);
      }
    }
  }
  return out;
}

}  // namespace tamber
