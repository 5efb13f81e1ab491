#include "engine/mcp/tool_calls.h"

#include <fnmatch.h>

#include <algorithm>
#include <chrono>
#include <deque>

#include "access/path_policy.h"
#include "base/base64.h"
#include "base/failure.h"
#include "base/text.h"
#include "engine/mcp/edit.h"

namespace tamber::engine::mcp {

namespace {

using SteadyClock = std::chrono::steady_clock;

// The most text one read in lines returns, as the broker's own reads.
constexpr size_t kTextLimit = 32768;
// How long a read in lines may look for its first line, and a find may search.
constexpr auto kReadTime = std::chrono::seconds(20);
constexpr auto kFindTime = std::chrono::seconds(10);
constexpr long long kFindDepth = 8;
constexpr long long kFindResults = 200;

constexpr const char* kGarbled = "The Tamber broker's reply could not be read.";

std::string text(const Json& object, const char* key) {
  return std::string(stringMember(object, key).value_or(""));
}

ToolReply failure(std::string sentence) {
  return {failureReply(sentence), {}};
}

// Bytes for an agent: the text itself when it is UTF-8, else a note and the bytes in Base64.
std::string shown(const std::string& bytes) {
  if (isValidUtf8(bytes)) {
    return bytes;
  }
  return "The file is not UTF-8 text; its " + std::to_string(bytes.size()) +
         " bytes follow in Base64.\n" + base64Encode(bytes);
}

std::string digestNote(const Json& reply) {
  return "sha256: " + text(reply, "sha256") + " (" + std::to_string(reply.value("bytes_read", 0)) +
         " bytes read). Pass it as expected_sha256 to replace this file.";
}

// A whole file: the broker's reply as it came, its text shown apart.
ToolReply readWhole(Json request, ToolBackend& backend) {
  request["action"] = "read";
  Json reply = backend.broker(request);
  if (!isSuccessReply(reply)) {
    return {std::move(reply), {}};
  }
  const std::optional<std::string> bytes = strictBase64Decode(text(reply, "data_base64"));
  if (!bytes) {
    return failure(kGarbled);
  }
  std::vector<std::string> texts = {shown(*bytes), digestNote(reply)};
  return {std::move(reply), std::move(texts)};
}

// Whole lines from `start_line`, through broker reads of the file in order: the lines before
// it are read and passed over, so a read far into a large file takes a while.
ToolReply readLines(const Json& arguments, ToolBackend& backend) {
  const std::string path = text(arguments, "path");
  const long long first = arguments.value("start_line", 1LL);
  const long long most = arguments.value("line_count", kLargestCount);
  const SteadyClock::time_point deadline = SteadyClock::now() + kReadTime;

  std::string taken;     // the bytes of the lines returned
  long long line = 1;    // the line the next byte belongs to
  long long lines = 0;   // newlines taken
  long long start = -1;  // where `taken` begins in the file
  long long offset = 0;  // where the next broker read begins
  long long fileBytes = 0;
  bool full = false;                  // stopped by line_count or by the size limit
  char last = '\n';                   // the last byte seen
  std::optional<std::string> sha256;  // of the whole file, when one read had all of it
  for (;;) {
    Json reply = backend.broker({{"action", "read"}, {"path", path}, {"offset", offset}});
    if (!isSuccessReply(reply)) {
      return {std::move(reply), {}};
    }
    const std::optional<std::string> bytes = strictBase64Decode(text(reply, "data_base64"));
    if (!bytes) {
      return failure(kGarbled);
    }
    fileBytes = reply.value("file_bytes", 0LL);
    if (offset == 0 && stringMember(reply, "sha256")) {
      sha256 = text(reply, "sha256");
    }
    for (size_t i = 0; i < bytes->size() && !full; ++i) {
      const char c = (*bytes)[i];
      last = c;
      if (line < first) {
        line += c == '\n';
        continue;
      }
      if (taken.size() == kTextLimit) {
        full = true;
        break;
      }
      if (start < 0) {
        start = offset + static_cast<long long>(i);
      }
      taken.push_back(c);
      if (c == '\n') {
        ++line;
        full = ++lines == most;
      }
    }
    offset += static_cast<long long>(bytes->size());
    if (full || bytes->empty() || !reply.value("has_more", false)) {
      break;
    }
    if (SteadyClock::now() > deadline) {
      return failure("Reading up to line " + std::to_string(first) + " took longer than " +
                     std::to_string(kReadTime.count()) +
                     " seconds; the file is too large to read that far in lines.");
    }
  }
  if (start < 0) {
    const long long fileLines = line - 1 + (last != '\n');
    return failure("start_line " + std::to_string(first) + " lies past the end of the file, " +
                   "which has " + std::to_string(fileLines) +
                   (fileLines == 1 ? " line." : " lines."));
  }

  // Whole lines only, unless one line alone is longer than the limit.
  bool cutLine = false;
  if (!taken.ends_with('\n') && start + static_cast<long long>(taken.size()) < fileBytes) {
    const size_t lastNewline = taken.rfind('\n');
    if (lastNewline != std::string::npos) {
      taken.resize(lastNewline + 1);
    } else {
      cutLine = true;
      while (!taken.empty() && !isValidUtf8(taken) && taken.size() + 4 > kTextLimit) {
        taken.pop_back();  // not in the middle of a character
      }
    }
  }
  const long long newlines = std::count(taken.begin(), taken.end(), '\n');
  const long long endLine = first + newlines - (taken.ends_with('\n') ? 1 : 0);
  const bool hasMore = start + static_cast<long long>(taken.size()) < fileBytes;
  const bool whole = sha256 && start == 0 && static_cast<long long>(taken.size()) == fileBytes;

  Json reply = {{"ok", true},
                {"data_base64", base64Encode(taken)},
                {"bytes_read", taken.size()},
                {"offset", start},
                {"file_bytes", fileBytes},
                {"start_line", first},
                {"end_line", endLine},
                {"has_more", hasMore}};
  std::string note = "Lines " + std::to_string(first) + " to " + std::to_string(endLine) + " of " +
                     path + ", " + std::to_string(fileBytes) + " bytes in all.";
  if (cutLine) {
    note += " Line " + std::to_string(endLine) + " is longer than 32 KiB; only its start is shown.";
  }
  if (hasMore) {
    reply["next_start_line"] = endLine + 1;
    note += " More follows: read with start_line " + std::to_string(endLine + 1) + ".";
  } else {
    note += " That is the end of the file.";
  }
  if (whole) {
    reply["sha256"] = *sha256;
    note += " " + digestNote(reply);
  }
  return {std::move(reply), {shown(taken), note}};
}

// One page of a folder; the first when the agent gave no continuation.
ToolReply listPage(Json request, ToolBackend& backend) {
  request["action"] = "list";
  if (!request.contains("continuation")) {
    request["continuation"] = "";
  }
  return {backend.broker(request), {}};
}

std::string joined(const std::string& folder, const std::string& name) {
  return folder.ends_with('/') ? folder + name : folder + "/" + name;
}

// Whether the path policy lets an agent name `path` at all.
bool allowed(const std::string& path) {
  try {
    guardProtected(path);
    return true;
  } catch (const BrokerFailure&) {
    return false;
  }
}

// Names below a folder, breadth first, through broker lists in pages: only what the broker
// lists is seen, and what the path policy refuses is neither named nor listed.
ToolReply findNames(const Json& arguments, ToolBackend& backend) {
  struct Folder {
    std::string path;
    std::string relative;  // below the folder searched, "" for that folder itself
    long long depth;       // 1 for the folder searched
  };
  const std::string pattern = text(arguments, "pattern");
  const long long maxDepth = arguments.value("max_depth", kFindDepth);
  const size_t maxResults = static_cast<size_t>(arguments.value("max_results", kFindResults));
  const bool byPath = pattern.find('/') != std::string::npos;
  const SteadyClock::time_point deadline = SteadyClock::now() + kFindTime;

  std::deque<Folder> folders = {{text(arguments, "path"), "", 1}};
  std::vector<std::string> matches;
  std::string reason;
  long long searched = 0;
  bool deeper = false;  // folders below max_depth were left out
  while (!folders.empty() && reason.empty()) {
    const Folder folder = std::move(folders.front());
    folders.pop_front();
    std::string continuation;
    do {
      if (SteadyClock::now() > deadline) {
        reason = "The search took " + std::to_string(kFindTime.count()) + " seconds.";
        break;
      }
      const Json page = backend.broker(
          {{"action", "list"}, {"path", folder.path}, {"continuation", continuation}});
      if (!isSuccessReply(page)) {
        if (searched == 0) {
          return {page, {}};  // the folder asked for itself
        }
        break;  // a folder below that cannot be listed is passed over
      }
      const Json& names = page.contains("entries") ? page["entries"] : Json::array();
      const Json& subfolders = page.contains("folders") ? page["folders"] : Json::array();
      for (const Json& entry : names) {
        const std::string name = entry.is_string() ? entry.get<std::string>() : "";
        const std::string path = joined(folder.path, name);
        // A name shown with U+FFFD is not the name on disk: it can be neither named nor
        // entered.
        if (name.empty() || name.find("\xEF\xBF\xBD") != std::string::npos || !allowed(path)) {
          continue;
        }
        const std::string relative = folder.relative.empty() ? name : folder.relative + "/" + name;
        if (::fnmatch(pattern.c_str(), (byPath ? relative : name).c_str(), 0) == 0) {
          matches.push_back(path);
          if (matches.size() == maxResults) {
            reason = "It found max_results paths.";
            break;
          }
        }
        if (std::find(subfolders.begin(), subfolders.end(), entry) != subfolders.end()) {
          if (folder.depth < maxDepth) {
            folders.push_back({path, relative, folder.depth + 1});
          } else {
            deeper = true;
          }
        }
      }
      continuation = text(page, "continuation");
    } while (!continuation.empty() && reason.empty());
    ++searched;
  }
  if (reason.empty() && deeper) {
    reason = "Folders deeper than max_depth were not searched.";
  }

  std::sort(matches.begin(), matches.end());
  std::string listing;
  for (const std::string& match : matches) {
    listing += match + "\n";
  }
  listing += std::to_string(matches.size()) + " found in " + std::to_string(searched) +
             (searched == 1 ? " folder." : " folders.") +
             (reason.empty() ? "" : " The search stopped early: " + reason);
  Json reply = {{"ok", true},
                {"matches", matches},
                {"truncated", !reason.empty()},
                {"folders_searched", searched}};
  if (!reason.empty()) {
    reply["reason"] = reason;
  }
  return {std::move(reply), {listing}};
}

// One read, the edits applied to what it returned, and one replace that proves that read.
ToolReply editFile(const Json& arguments, ToolBackend& backend) {
  const std::string path = text(arguments, "path");
  const Json read = backend.broker({{"action", "read"}, {"path", path}});
  if (!isSuccessReply(read)) {
    return {read, {}};
  }
  const std::optional<std::string> before = strictBase64Decode(text(read, "data_base64"));
  if (!before) {
    return failure(kGarbled);
  }
  if (!isValidUtf8(*before)) {
    return failure(
        "edit changes UTF-8 text, and this file is not UTF-8; use replace with its whole new "
        "content. Nothing was changed.");
  }
  std::vector<TextEdit> edits;
  for (const Json& edit : arguments["edits"]) {
    edits.push_back({text(edit, "old_text"), text(edit, "new_text"),
                     boolMember(edit, "replace_all").value_or(false)});
  }
  EditOutcome edited = applyEdits(*before, edits);
  if (!edited.refusal.empty()) {
    return failure(std::move(edited.refusal));
  }

  Json reply = backend.broker({{"action", "replace"},
                               {"path", path},
                               {"text", edited.text},
                               {"expected_sha256", text(read, "sha256")}});
  if (!isSuccessReply(reply)) {
    std::string sentence = text(reply, "error");
    if (sentence == "Source changed; no replacement made") {
      sentence += ". The file changed after this edit read it; read it again and redo the edit.";
    }
    reply["error"] = std::move(sentence);
    return {std::move(reply), {}};
  }
  const std::string diff = unifiedDiff(path, *before, edited.text);
  std::string shownDiff = diff + "The previous file is kept at " + text(reply, "backup_path") + ".";
  reply["diff"] = diff;
  return {std::move(reply), {std::move(shownDiff)}};
}

}  // namespace

ToolReply runTool(const Tool& tool, const Json& arguments, ToolBackend& backend) {
  const std::string_view name = tool.name;
  if (name == "inventory") {
    return {backend.inventory(arguments), {}};
  }
  if (name == "read") {
    if (arguments.contains("start_line") || arguments.contains("line_count")) {
      return readLines(arguments, backend);
    }
    return readWhole(arguments, backend);
  }
  if (name == "list") {
    return listPage(arguments, backend);
  }
  if (name == "find") {
    return findNames(arguments, backend);
  }
  if (name == "edit") {
    return editFile(arguments, backend);
  }
  Json request = arguments;
  request["action"] = tool.name;
  return {backend.broker(request), {}};
}

}  // namespace tamber::engine::mcp
