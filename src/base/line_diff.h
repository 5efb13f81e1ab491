#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tamber {

// One line of a unified diff: ' ' kept, '-' only before, '+' only after, '@' a hunk's
// header ("@@ -1,4 +1,5 @@").
struct DiffLine {
  char kind = ' ';
  std::string text;     // without its line end
  bool newline = true;  // false for a last line without one ("\ No newline at end of file")
};

// The unified diff of two texts, line by line, with three lines of context; a line's end is
// part of the line, so a text that only gained or lost its final newline differs. An empty
// side's hunk starts at line 0, as the format has it. At most `maxLines` lines; `truncated`
// says when more were left out. Nothing when the texts are equal.
std::vector<DiffLine> lineDiff(std::string_view before, std::string_view after, size_t maxLines,
                               bool& truncated);

}  // namespace tamber
