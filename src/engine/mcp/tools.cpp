#include "engine/mcp/tools.h"

#include <algorithm>
#include <array>

#include "base/text.h"

namespace tamber::engine::mcp {

namespace {

constexpr std::array<std::pair<Revision, const char*>, 5> kRevisionNames = {{
    {Revision::v2026_07_28, "2026-07-28"},
    {Revision::v2025_11_25, "2025-11-25"},
    {Revision::v2025_06_18, "2025-06-18"},
    {Revision::v2025_03_26, "2025-03-26"},
    {Revision::v2024_11_05, "2024-11-05"},
}};

constexpr size_t kMostEdits = 100;

// What every broker tool's description ends with: the rules an agent cannot see otherwise.
constexpr const char* kBrokerRules =
    " Paths are absolute, without \"..\", inside a folder of the user's grant; symbolic links "
    "are never followed, and system folders and secrets (.ssh, .env, keyrings and the like) are "
    "refused whatever the grant. Under an elevated grant the call waits until the user approves "
    "or denies it in the Tamber window.";

std::string viewAction(const char* what) {
  return std::string(what) + kBrokerRules;
}

std::string editAction(const char* what) {
  return std::string(what) +
         " Needs an edit grant; nothing existing is ever deleted or overwritten." + kBrokerRules;
}

constexpr const char* kPath = "Absolute path inside a granted folder, without \"..\".";
constexpr const char* kNotice = "A note from the broker for the agent.";

ToolArgument pathArgument(const char* description = kPath) {
  return {"path", description, true};
}

std::vector<ResultField> replaceFields() {
  return {{"replaced", "boolean", "True: the new text is in place."},
          {"original_preserved", "boolean", "True: the previous file is kept."},
          {"backup_path", "string", "Where the previous file is kept."},
          {"previous_sha256", "string", "SHA-256 of the previous content."},
          {"notice", "string", kNotice}};
}

std::vector<Tool> makeCatalogue() {
  const ToolArgument continuation = {
      "continuation",
      "The continuation of the page before, to list the names after it; leave it out for the "
      "first page.",
      false};
  return {
      {"stat",
       "Inspect a file or folder",
       viewAction(
           "Size and type of one file or folder, without following a symbolic link (a link is "
           "described as itself). Returns file_bytes and is_directory."),
       true,
       {pathArgument()},
       {{"file_bytes", "integer", "The entry's size in bytes."},
        {"is_directory", "boolean", "True for a folder (never for a link to one)."},
        {"physical_data_bytes", "null", "Not measured; always null."}}},
      {"list",
       "List a folder",
       viewAction(
           "Names in one folder, in pages of up to 200 sorted names; folders names the page's "
           "subfolders (never a link to one). When has_more is true, pass continuation back "
           "with the same path to list the following names. Names only, hidden ones included."),
       true,
       {pathArgument("Absolute path of a granted folder or a folder inside one."), continuation},
       {{"entries", "array", "This page's names, sorted.", "string"},
        {"folders", "array", "Those of the names that are folders.", "string"},
        {"has_more", "boolean", "True when the folder holds names after this page."},
        {"continuation", "string", "What to pass back for the next page, when has_more."},
        {"notice", "string", kNotice}}},
      {"read",
       "Read a file",
       viewAction(
           "Reads one regular file. Without start_line and line_count: the whole file, of at "
           "most 32 KiB (a larger one is refused: read it in lines); sha256 is the digest that "
           "replace needs as expected_sha256. With either: whole lines of a file of any size, "
           "from start_line (1 is the first line) for at most line_count lines and 32 KiB; "
           "next_start_line says where the next part begins. The text is the file itself when "
           "it is UTF-8, else a note and its bytes in Base64. Links and files with more than "
           "one hard link are refused."),
       true,
       {pathArgument(),
        {"start_line", "The first line to read; 1 is the first line of the file.", false, nullptr,
         ArgumentType::count},
        {"line_count", "The most lines to read.", false, nullptr, ArgumentType::count}},
       {{"data_base64", "string", "The bytes read, in standard Base64."},
        {"bytes_read", "integer", "How many bytes were read."},
        {"sha256", "string",
         "SHA-256 of the whole file, 64 lower-case hexadecimal digits; only when the whole "
         "file was read."},
        {"offset", "integer", "Where in the file the bytes read begin, for a read in lines."},
        {"file_bytes", "integer", "The file's size, for a read in lines."},
        {"start_line", "integer", "The first line read."},
        {"end_line", "integer", "The last line read."},
        {"has_more", "boolean", "True when the file goes on after the lines read."},
        {"next_start_line", "integer", "The start_line of the next part, when has_more."}}},
      {"find",
       "Find files and folders by name",
       viewAction(
           "Names below a folder that match a glob pattern (*, ? and [...] as in the shell), "
           "without reading any file: a pattern without / matches names at any depth, one with "
           "/ the path below the folder. Searches at most max_depth folders deep (default 8) "
           "for at most max_results paths (default 200) and 10 seconds; truncated says when it "
           "stopped before the end, and why. Secrets and system folders are neither entered "
           "nor named."),
       true,
       {pathArgument("Absolute path of the folder to search below."),
        {"pattern", "The glob pattern, such as \"*.md\" or \"src/*/test_*.py\".", true},
        {"max_depth", "How many folders deep to search; 1 is the folder's own names.", false,
         nullptr, ArgumentType::count, 64},
        {"max_results", "The most paths to return.", false, nullptr, ArgumentType::count, 1000}},
       {{"matches", "array", "The paths found, sorted.", "string"},
        {"truncated", "boolean", "True when the search stopped before the end."},
        {"reason", "string", "Why it stopped early, when truncated."},
        {"folders_searched", "integer", "How many folders were listed."}}},
      {"write_new",
       "Create a new file",
       editAction(
           "Creates a file that does not exist yet with the given UTF-8 text (at most 32 KiB); an "
           "existing name is refused, never overwritten."),
       false,
       {pathArgument("Absolute path of the new file; its folder must exist."),
        {"text", "The file's content, UTF-8, at most 32 KiB.", true}},
       {{"created", "boolean", "True: the file was created."},
        {"bytes_written", "integer", "How many bytes were written."},
        {"notice", "string", kNotice}}},
      {"mkdir",
       "Create a folder",
       editAction("Creates one new folder whose parent exists; a granted folder itself cannot be "
                  "made."),
       false,
       {pathArgument("Absolute path of the new folder.")},
       {{"created", "boolean", "True: the folder was created."}}},
      {"copy",
       "Copy a file",
       editAction(
           "Copies a regular file of at most 1 GiB to a destination name that does not exist yet, "
           "and verifies the copy by SHA-256; the source stays as it is."),
       false,
       {pathArgument("Absolute path of the file to copy."),
        {"destination", "Absolute path of the copy; must not exist yet.", true}},
       {{"copied", "boolean", "True: the copy was made."},
        {"source_preserved", "boolean", "True: the source is unchanged."},
        {"sha256", "string", "SHA-256 of the content copied."},
        {"verified", "boolean", "True: the copy's digest equals the source's."},
        {"overwrite", "boolean", "Always false: nothing was overwritten."}}},
      {"move",
       "Move or rename a file",
       editAction(
           "Moves a regular file to a destination name that does not exist yet on the same file "
           "system, in one atomic rename."),
       false,
       {pathArgument("Absolute path of the file to move."),
        {"destination", "Absolute path of its new name; must not exist yet.", true}},
       {{"moved", "boolean", "True: the file was moved."},
        {"overwrite", "boolean", "Always false: nothing was overwritten."},
        {"notice", "string", kNotice}}},
      {"replace",
       "Replace a file's text, keeping a backup",
       editAction(
           "Replaces the content of a regular file of at most 32 KiB with new text, only when the "
           "file's current SHA-256 equals expected_sha256 (the sha256 of your latest read of it). "
           "The previous file is kept in the same folder as .tamber-backup- followed by a UUID, "
           "named in backup_path. To change a few places, edit is simpler."),
       false,
       {pathArgument("Absolute path of the file to replace."),
        {"text", "The new content, UTF-8, at most 32 KiB.", true},
        {"expected_sha256", "The sha256 from your latest read of the file.", true,
         "^[0-9a-f]{64}$"}},
       replaceFields()},
      {"edit",
       "Edit a text file, keeping a backup",
       editAction(
           "Changes a UTF-8 text file of at most 32 KiB in one call: each edit's old_text, "
           "quoted exactly from the file, becomes its new_text. An old_text must occur exactly "
           "once, unless replace_all is true (then every occurrence changes); all edits apply "
           "to the file as it is when the call reads it, and may not overlap. The file is then "
           "replaced as replace does, keeping the previous one beside it, named in backup_path; "
           "the result shows the change as a unified diff. If the file changes in between, "
           "nothing is changed: read it again."),
       false,
       {pathArgument("Absolute path of the file to edit."),
        {"edits", "The changes, each {old_text, new_text} with an optional replace_all.", true,
         nullptr, ArgumentType::edits}},
       [] {
         std::vector<ResultField> fields = replaceFields();
         fields.push_back({"diff", "string", "The change, as a unified diff."});
         return fields;
       }()},
      {"inventory",
       "Storage inventory",
       "What takes space in the folder that the Tamber app indexes, one folder at a time: its "
       "usage (allocated_bytes is space on disk with every shared extent and hard link counted "
       "once; exclusive_bytes is what deleting the folder would free), its largest subfolders "
       "(up to 100, largest first; child_count counts them all) and its largest files. Needs "
       "no grant and shows no file content.",
       true,
       {{"path",
         "A folder below the indexed one, absolute or relative to it; the indexed folder when "
         "absent. Write names as the reports do: a byte that is not UTF-8 as U+FFFD and its two "
         "hexadecimal digits.",
         false}},
       {{"root", "string", "The indexed folder."},
        {"path", "string", "This folder's absolute path."},
        {"finished_at_utc", "string", "When the index run ended."},
        {"usage", "object", "Space below this folder."},
        {"children", "array", "The largest subfolders, each with its usage.", "object"},
        {"child_count", "integer", "How many subfolders there are in all."},
        {"largest_files", "array", "The largest files below this folder.", "object"}}},
  };
}

Json argumentSchema(const ToolArgument& argument) {
  switch (argument.type) {
    case ArgumentType::string: {
      Json property = {{"type", "string"}, {"description", argument.description}};
      if (argument.pattern != nullptr) {
        property["pattern"] = argument.pattern;
      }
      return property;
    }
    case ArgumentType::count:
      return {{"type", "integer"},
              {"minimum", 1},
              {"maximum", argument.largest},
              {"description", argument.description}};
    case ArgumentType::edits:
      return {
          {"type", "array"},
          {"minItems", 1},
          {"maxItems", kMostEdits},
          {"description", argument.description},
          {"items",
           {{"type", "object"},
            {"properties",
             {{"old_text",
               {{"type", "string"}, {"description", "Text of the file as it is, quoted exactly."}}},
              {"new_text", {{"type", "string"}, {"description", "What takes its place."}}},
              {"replace_all",
               {{"type", "boolean"},
                {"description", "Replace every occurrence instead of exactly one."}}}}},
            {"required", {"old_text", "new_text"}},
            {"additionalProperties", false}}}};
  }
  return Json::object();
}

Json inputSchema(const Tool& tool) {
  Json properties = Json::object();
  Json required = Json::array();
  for (const ToolArgument& argument : tool.arguments) {
    properties[argument.name] = argumentSchema(argument);
    if (argument.required) {
      required.push_back(argument.name);
    }
  }
  return {{"type", "object"},
          {"properties", std::move(properties)},
          {"required", std::move(required)},
          {"additionalProperties", false}};
}

// Success and refusal share one shape: "ok", then the action's fields or "error".
Json outputSchema(const Tool& tool) {
  Json properties = {
      {"ok", {{"type", "boolean"}, {"description", "True when the action was done."}}},
      {"error", {{"type", "string"}, {"description", "Why it was refused, when ok is false."}}},
  };
  for (const ResultField& field : tool.result) {
    Json property = {{"type", field.type}, {"description", field.description}};
    if (field.items != nullptr) {
      property["items"] = {{"type", field.items}};
    }
    properties[field.name] = std::move(property);
  }
  return {{"type", "object"}, {"properties", std::move(properties)}, {"required", {"ok"}}};
}

Json textContent(std::string text) {
  Json content = Json::object();
  content["text"] = std::move(text);
  content["type"] = "text";
  return content;
}

// Why one edit of an edit call is not {"old_text": string, "new_text": string,
// "replace_all": boolean?}.
std::optional<std::string> editProblem(const Json& edit) {
  constexpr const char* kShape =
      "Each edit is an object with the strings old_text and new_text, and optionally the "
      "boolean replace_all.";
  if (!edit.is_object() || !stringMember(edit, "old_text") || !stringMember(edit, "new_text")) {
    return kShape;
  }
  for (const auto& item : edit.items()) {
    if (item.key() == "replace_all" ? !item.value().is_boolean()
                                    : item.key() != "old_text" && item.key() != "new_text") {
      return kShape;
    }
  }
  return std::nullopt;
}

std::optional<std::string> valueProblem(const std::string& tool, const std::string& key,
                                        const ToolArgument& argument, const Json& value) {
  switch (argument.type) {
    case ArgumentType::string:
      if (!value.is_string()) {
        return "The argument \"" + key + "\" of " + tool + " must be a string.";
      }
      return std::nullopt;
    case ArgumentType::count:
      if (!value.is_number_integer() || value.get<long long>() < 1 ||
          value.get<long long>() > argument.largest) {
        return "The argument \"" + key + "\" of " + tool + " must be a whole number from 1 to " +
               std::to_string(argument.largest) + ".";
      }
      return std::nullopt;
    case ArgumentType::edits:
      if (!value.is_array() || value.empty() || value.size() > kMostEdits) {
        return "The argument \"" + key + "\" of " + tool + " must be a list of 1 to " +
               std::to_string(kMostEdits) + " edits.";
      }
      for (const Json& edit : value) {
        if (std::optional<std::string> problem = editProblem(edit)) {
          return problem;
        }
      }
      return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

const char* revisionName(Revision revision) {
  for (const auto& [known, name] : kRevisionNames) {
    if (known == revision) {
      return name;
    }
  }
  return kRevisionNames.front().second;
}

std::optional<Revision> revisionNamed(std::string_view name) {
  for (const auto& [revision, known] : kRevisionNames) {
    if (name == known) {
      return revision;
    }
  }
  return std::nullopt;
}

Json revisionNames() {
  Json names = Json::array();
  for (const auto& known : kRevisionNames) {
    names.push_back(known.second);
  }
  return names;
}

const std::vector<Tool>& toolCatalogue() {
  static const std::vector<Tool> catalogue = makeCatalogue();
  return catalogue;
}

const Tool* findTool(std::string_view name, bool readOnly) {
  for (const Tool& tool : toolCatalogue()) {
    if (name == tool.name) {
      return readOnly && !tool.readOnly ? nullptr : &tool;
    }
  }
  return nullptr;
}

Json toolListing(const Tool& tool, Revision revision) {
  Json listing = {
      {"name", tool.name}, {"description", tool.description}, {"inputSchema", inputSchema(tool)}};
  if (revision >= Revision::v2025_03_26) {
    listing["annotations"] = {{"title", tool.title},
                              {"readOnlyHint", tool.readOnly},
                              {"destructiveHint", false},
                              {"openWorldHint", false}};
  }
  if (revision >= Revision::v2025_06_18) {
    listing["title"] = tool.title;
    listing["outputSchema"] = outputSchema(tool);
  }
  return listing;
}

std::optional<std::string> argumentProblem(const Tool& tool, const Json& arguments) {
  const std::string name = tool.name;
  if (!arguments.is_object()) {
    return "The arguments of " + name + " must be an object.";
  }
  for (const auto& item : arguments.items()) {
    const std::string& key = item.key();
    const auto known = std::find_if(tool.arguments.begin(), tool.arguments.end(),
                                    [&](const ToolArgument& a) { return key == a.name; });
    if (known == tool.arguments.end()) {
      std::string accepted;
      for (const ToolArgument& argument : tool.arguments) {
        accepted += (accepted.empty() ? "" : ", ") + std::string(argument.name);
      }
      return name + " takes no argument \"" + validUtf8(key) + "\"" +
             (accepted.empty() ? "; it takes none." : "; it takes " + accepted + ".");
    }
    if (std::optional<std::string> problem = valueProblem(name, key, *known, item.value())) {
      return problem;
    }
  }
  for (const ToolArgument& argument : tool.arguments) {
    if (argument.required && !arguments.contains(argument.name)) {
      return name + " needs the argument \"" + argument.name + "\": " + argument.description;
    }
  }
  return std::nullopt;
}

Json callResult(ToolReply outcome, Revision revision) {
  if (!isSuccessReply(outcome.reply)) {
    Json result = failureResult(
        stringMember(outcome.reply, "error").value_or("The broker refused."), revision);
    if (result.contains("structuredContent")) {
      result["structuredContent"] = std::move(outcome.reply);  // the broker's own, as it came
    }
    return result;
  }
  Json content = Json::array();
  if (outcome.texts.empty()) {
    content.push_back(textContent(jsonData(outcome.reply)));
  }
  for (std::string& text : outcome.texts) {
    content.push_back(textContent(std::move(text)));
  }
  Json result = Json::object();
  result["content"] = std::move(content);
  result["isError"] = false;
  if (revision >= Revision::v2025_06_18) {
    result["structuredContent"] = std::move(outcome.reply);
  }
  return result;
}

Json failureResult(std::string_view sentence, Revision revision) {
  Json result = {{"content", {textContent(std::string(sentence))}}, {"isError", true}};
  if (revision >= Revision::v2025_06_18) {
    result["structuredContent"] = failureReply(sentence);
  }
  return result;
}

}  // namespace tamber::engine::mcp
