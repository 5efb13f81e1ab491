#include "engine/mcp/tools.h"

#include <algorithm>
#include <array>

#include "base/base64.h"
#include "base/text.h"

namespace tamber::engine::mcp {

namespace {

constexpr std::array<std::pair<Revision, const char*>, 4> kRevisionNames = {{
    {Revision::v2025_11_25, "2025-11-25"},
    {Revision::v2025_06_18, "2025-06-18"},
    {Revision::v2025_03_26, "2025-03-26"},
    {Revision::v2024_11_05, "2024-11-05"},
}};

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

std::vector<Tool> makeCatalogue() {
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
           "Names in one folder, sorted: up to 200 of them; has_more is true when the folder holds "
           "more, then list a narrower folder. Names only, hidden ones included."),
       true,
       {pathArgument("Absolute path of a granted folder or a folder inside one.")},
       {{"entries", "array", "The names, sorted.", "string"},
        {"has_more", "boolean", "True when the folder holds more than 200 names."},
        {"notice", "string", kNotice}}},
      {"read",
       "Read a file",
       viewAction(
           "Reads one regular file of at most 32 KiB (a larger one is refused: use stat for its "
           "size). The result's text is the file itself when it is UTF-8, else a note and its "
           "bytes "
           "in Base64; sha256 is the digest that replace needs as expected_sha256. Links and files "
           "with more than one hard link are refused."),
       true,
       {pathArgument()},
       {{"data_base64", "string", "The bytes read, in standard Base64."},
        {"bytes_read", "integer", "How many bytes were read."},
        {"sha256", "string", "SHA-256 of the file, 64 lower-case hexadecimal digits."}}},
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
           "named in backup_path."),
       false,
       {pathArgument("Absolute path of the file to replace."),
        {"text", "The new content, UTF-8, at most 32 KiB.", true},
        {"expected_sha256", "The sha256 from your latest read of the file.", true,
         "^[0-9a-f]{64}$"}},
       {{"replaced", "boolean", "True: the new text is in place."},
        {"original_preserved", "boolean", "True: the previous file is kept."},
        {"backup_path", "string", "Where the previous file is kept."},
        {"previous_sha256", "string", "SHA-256 of the previous content."},
        {"notice", "string", kNotice}}},
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

Json inputSchema(const Tool& tool) {
  Json properties = Json::object();
  Json required = Json::array();
  for (const ToolArgument& argument : tool.arguments) {
    Json property = {{"type", "string"}, {"description", argument.description}};
    if (argument.pattern != nullptr) {
      property["pattern"] = argument.pattern;
    }
    properties[argument.name] = std::move(property);
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
  return {{"type", "text"}, {"text", std::move(text)}};
}

// A read's content for an agent: the text itself when it is UTF-8, and its digest apart.
Json readContent(const Json& reply) {
  const std::string sha256 = reply.value("sha256", "");
  const std::string base64 = reply.value("data_base64", "");
  const std::optional<std::string> bytes = strictBase64Decode(base64);
  Json content = Json::array();
  if (bytes && validUtf8(*bytes) == *bytes) {
    content.push_back(textContent(*bytes));
  } else {
    content.push_back(textContent("The file is not UTF-8 text; its " +
                                  std::to_string(bytes ? bytes->size() : 0) +
                                  " bytes follow in Base64.\n" + base64));
  }
  content.push_back(textContent("sha256: " + sha256 + " (" +
                                std::to_string(reply.value("bytes_read", 0)) +
                                " bytes read). Pass it as expected_sha256 to replace this file."));
  return content;
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
    const Json& value = item.value();
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
    if (!value.is_string()) {
      return "The argument \"" + key + "\" of " + name + " must be a string.";
    }
  }
  for (const ToolArgument& argument : tool.arguments) {
    if (argument.required && !arguments.contains(argument.name)) {
      return name + " needs the argument \"" + argument.name + "\": " + argument.description;
    }
  }
  return std::nullopt;
}

Json replyResult(const Tool& tool, const Json& reply, Revision revision) {
  if (!isSuccessReply(reply)) {
    Json result =
        failureResult(stringMember(reply, "error").value_or("The broker refused."), revision);
    if (result.contains("structuredContent")) {
      result["structuredContent"] = reply;  // the broker's own reply, as it came
    }
    return result;
  }
  Json result = {{"content", std::string_view(tool.name) == "read"
                                 ? readContent(reply)
                                 : Json::array({textContent(jsonData(reply))})},
                 {"isError", false}};
  if (revision >= Revision::v2025_06_18) {
    result["structuredContent"] = reply;
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
