#include "engine/invitation_guide.h"

#include <nlohmann/json.hpp>

#include "base/path.h"
#include "base/text.h"
#include "platform/executable_path.h"

namespace tamber::engine {

namespace {

// The configuration block that agent harnesses read, ready to paste but for the token.
std::string mcpServersBlock(const std::string& executable, const std::string& dataDir) {
  nlohmann::ordered_json server = {{"command", executable},
                                   {"args", {"--data", dataDir, "mcp"}},
                                   {"env", {{"TAMBER_GRANT", "TOKEN_FROM_THE_EXPORT_LINE"}}}};
  const nlohmann::ordered_json block = {{"mcpServers", {{"tamber", std::move(server)}}}};
  return block.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace

std::string invitationGuide(const std::string& executable, const std::string& dataDir) {
  const std::string base = shellQuote(executable) + " --data " + shellQuote(dataDir);
  std::string text;
  text +=
      "Tamber: a private storage inventory of this Linux computer, and scoped, temporary "
      "access to folders its user selected.\n"
      "\n"
      "Run the larkspan command line by its full path, exactly as written below: it is not on "
      "your PATH. Each run prints one JSON object on standard output.\n"
      "\n"
      "Inventory (always available, no grant needed): what takes space in the indexed "
      "folder, one folder at a time.\n"
      "Inventory command: " +
      base +
      " --json inventory\n"
      "Add --path FOLDER (absolute, or relative to the indexed folder) for any folder below it; "
      "the reply has \"path\", \"usage\" (\"allocated_bytes\" is space on disk with each "
      "shared extent once, \"exclusive_bytes\" what deleting the folder would free), "
      "\"children\" (its subfolders, largest first) and \"largest_files\".\n"
      "\n"
      "File access (only with the capability that the user attaches below this text):\n"
      "1. Run the capability's export line once in your shell, so that TAMBER_GRANT holds the "
      "token. The command line reads the token from TAMBER_GRANT and adds it to each request "
      "itself: never put it in a request, print it or log it.\n"
      "2. Send one request per run, on standard input:\n"
      "CLI: " +
      base +
      " --json agent - <<'EOF'\n"
      "REQUEST\n"
      "EOF\n"
      "REQUEST is one JSON object with \"action\" and that action's fields, on its own line "
      "between the command and EOF, written exactly as it is: the quoted 'EOF' keeps the shell "
      "from changing anything in it, and the request (with the text of a file being written) "
      "never shows in the process list. The reply has \"ok\": true and the action's fields, "
      "or \"ok\": false and \"error\" with the reason; the exit status is 0 either way.\n"
      "MCP: a harness that attaches tools through the Model Context Protocol gets the same "
      "actions, and the inventory, as tools: add this server to its \"mcpServers\" "
      "configuration, with TAMBER_GRANT set to the token of the capability's export line "
      "(add \"--read-only\" after \"mcp\" to offer only stat, list, read and inventory):\n" +
      mcpServersBlock(executable, dataDir) +
      "\n"
      "Paths are absolute, without \"..\", and inside a folder of the capability's Scope "
      "line; SCOPE in the examples stands for such a folder. Symbolic links are never "
      "followed, and nothing is ever deleted or overwritten. A View grant allows stat, list "
      "and read; an Edit grant allows all eight actions. Under an elevated grant each request "
      "waits until the user approves it in the desktop app.\n"
      "\n"
      "Actions:\n"
      "- stat: \"path\". Replies \"file_bytes\" and \"is_directory\".\n"
      "  Example: {\"action\":\"stat\",\"path\":\"SCOPE/notes.txt\"}\n"
      "- list: \"path\" of a folder. Replies \"entries\" (up to 200 names, sorted) and "
      "\"has_more\". For a larger folder add \"continuation\": \"\" and pass back the "
      "\"continuation\" of each reply to list every name, page by page.\n"
      "  Example: {\"action\":\"list\",\"path\":\"SCOPE\"}\n"
      "- read: \"path\" of a regular file of at most 32 KiB. Replies \"data_base64\", "
      "\"bytes_read\" and \"sha256\". For a larger file add \"offset\" (a number of bytes): "
      "up to 32 KiB from there, with \"file_bytes\" and \"has_more\".\n"
      "  Example: {\"action\":\"read\",\"path\":\"SCOPE/notes.txt\"}\n"
      "- write_new: \"path\" of a name that does not exist yet, and \"text\" (UTF-8, at most "
      "32 KiB). Creates the file.\n"
      "  Example: {\"action\":\"write_new\",\"path\":\"SCOPE/summary.md\",\"text\":\"# "
      "Summary\\n\"}\n"
      "- mkdir: \"path\" of a new folder whose parent exists.\n"
      "  Example: {\"action\":\"mkdir\",\"path\":\"SCOPE/drafts\"}\n"
      "- copy: \"path\" of a regular file (at most 1 GiB) and \"destination\", a name that "
      "does not exist yet. Replies \"sha256\" and \"verified\".\n"
      "  Example: "
      "{\"action\":\"copy\",\"path\":\"SCOPE/notes.txt\",\"destination\":\"SCOPE/drafts/"
      "notes.txt\"}\n"
      "- move: \"path\" of a regular file and \"destination\", a name that does not exist yet "
      "on the same file system.\n"
      "  Example: "
      "{\"action\":\"move\",\"path\":\"SCOPE/drafts/notes.txt\",\"destination\":\"SCOPE/"
      "drafts/notes-old.txt\"}\n"
      "- replace: \"path\" of a regular file of at most 32 KiB, \"text\" (its new content) and "
      "\"expected_sha256\" (the \"sha256\" of your latest read of it). The previous file stays "
      "in the same folder; the reply names it in \"backup_path\".\n"
      "  Example: "
      "{\"action\":\"replace\",\"path\":\"SCOPE/notes.txt\",\"text\":\"new content\\n\","
      "\"expected_sha256\":\"SHA256_FROM_YOUR_READ\"}";
  return text;
}

std::string engineExecutable(const std::string& program) {
  std::string path = ownExecutablePath();
  if (path.empty()) {
    path = program.find('/') != std::string::npos ? absolutePath(program) : program;
  }
  return path;
}

}  // namespace tamber::engine
