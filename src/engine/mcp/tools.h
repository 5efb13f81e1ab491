#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/reply.h"

namespace tamber::engine::mcp {

// The protocol revisions this server speaks, oldest first. What a revision adds to a tool's
// listing and result: "2025-03-26" annotations, "2025-06-18" titles, output schemas and
// structured results, "2026-07-28" the result's type. 2026-07-28 is the first revision whose
// requests each carry their revision; the ones before it agree on one at initialize.
enum class Revision { v2024_11_05, v2025_03_26, v2025_06_18, v2025_11_25, v2026_07_28 };

// The newest revision an initialize can agree on, and the newest of all.
inline constexpr Revision kLatestLegacyRevision = Revision::v2025_11_25;
inline constexpr Revision kLatestRevision = Revision::v2026_07_28;

// The revision's name on the wire, "2025-11-25".
const char* revisionName(Revision revision);

// The revision named `name`, if this server speaks it.
std::optional<Revision> revisionNamed(std::string_view name);

// Every revision's name, newest first: what the server tells a client it supports.
Json revisionNames();

// What a tool's argument holds.
enum class ArgumentType {
  string,
  count,  // a whole number from 1 to kLargestCount
  edits,  // an array of {"old_text", "new_text", "replace_all"?} objects
};

inline constexpr long long kLargestCount = 1LL << 31;

// One argument of a tool. Those of the broker's tools are the broker's own field names.
struct ToolArgument {
  const char* name;
  const char* description;
  bool required;
  const char* pattern = nullptr;  // a regular expression a string must match, for the schema
  ArgumentType type = ArgumentType::string;
  long long largest = kLargestCount;  // for a count: the largest accepted
};

// One field of a tool's successful result, for its output schema.
struct ResultField {
  const char* name;
  const char* type;  // a JSON Schema type: "string", "integer", "boolean", "null", "array"...
  const char* description;
  const char* items = nullptr;  // for an array: the type of its items
};

// A tool of the server. Every tool but "find", "edit" and "inventory" is the broker action of
// the same name; those two are made of broker actions.
struct Tool {
  const char* name;
  const char* title;
  std::string description;
  bool readOnly;  // also listed, and callable, in read-only mode
  std::vector<ToolArgument> arguments;
  std::vector<ResultField> result;
};

// Every tool, in the order they are listed.
const std::vector<Tool>& toolCatalogue();

// The tool named `name` that this session offers, or null: in read-only mode only the
// read-only tools exist.
const Tool* findTool(std::string_view name, bool readOnly);

// The tool's entry in a tools/list result, with what `revision` knows of.
Json toolListing(const Tool& tool, Revision revision);

// Why `arguments` cannot be passed to `tool`, as a sentence the agent can act on; nothing
// when they can. Arguments are an object holding every required argument, each of its type,
// and no other.
std::optional<std::string> argumentProblem(const Tool& tool, const Json& arguments);

// What a tool call came to: the reply (an object with "ok", the broker's own fields or the
// tool's, or "error"), and the text an agent reads, when it is not the reply itself.
struct ToolReply {
  Json reply;
  std::vector<std::string> texts;  // content blocks; empty: the reply's JSON text
};

// The tools/call result for `reply` under `revision`: a refusal is an error result carrying
// its sentence unchanged.
Json callResult(ToolReply reply, Revision revision);

// The error result of a call that failed before or without a reply, saying `sentence`.
Json failureResult(std::string_view sentence, Revision revision);

}  // namespace tamber::engine::mcp
