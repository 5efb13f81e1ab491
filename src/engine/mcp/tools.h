#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/reply.h"

namespace tamber::engine::mcp {

// The protocol revisions this server speaks, newest first. What a revision adds to a tool's
// listing and result: "2025-03-26" annotations, "2025-06-18" titles, output schemas and
// structured results.
enum class Revision { v2024_11_05, v2025_03_26, v2025_06_18, v2025_11_25 };

inline constexpr Revision kLatestRevision = Revision::v2025_11_25;

// The revision's name on the wire, "2025-11-25".
const char* revisionName(Revision revision);

// The revision named `name`, if this server speaks it.
std::optional<Revision> revisionNamed(std::string_view name);

// One string argument of a tool; all of them are the broker's own field names.
struct ToolArgument {
  const char* name;
  const char* description;
  bool required;
  const char* pattern = nullptr;  // a regular expression the value must match, for the schema
};

// One field of a tool's successful result, for its output schema.
struct ResultField {
  const char* name;
  const char* type;  // a JSON Schema type: "string", "integer", "boolean", "null", "array"...
  const char* description;
  const char* items = nullptr;  // for an array: the type of its items
};

// A tool of the server. Every tool but "inventory" is one broker action of the same name.
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
// when they can. Arguments are an object of strings, every required one present, no other.
std::optional<std::string> argumentProblem(const Tool& tool, const Json& arguments);

// The result of a call that the broker (or the inventory) answered with `reply`, an object
// with "ok": a refusal is an error result carrying the broker's sentence unchanged; a read's
// text is the file itself when it is UTF-8.
Json replyResult(const Tool& tool, const Json& reply, Revision revision);

// The error result of a call that failed before or without a reply, saying `sentence`.
Json failureResult(std::string_view sentence, Revision revision);

}  // namespace tamber::engine::mcp
