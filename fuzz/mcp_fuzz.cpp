// Client messages through the MCP session, in both eras (a request that carries its revision,
// and after an initialize): every message gets at most one response, which is a JSON-RPC 2.0
// message (or, for a batch, an array of them); never a crash. The backend answers every broker
// request with a reply whose bytes come from the input, so results are rendered for text and
// for binary content alike, and edits are matched against them. The quick reader of plain
// JSON must agree with the full parser on all it accepts, and an edit made
// must show as a diff.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/base64.h"
#include "base/reply.h"
#include "engine/mcp/edit.h"
#include "engine/mcp/session.h"

namespace {

class EchoBackend : public tamber::engine::mcp::ToolBackend {
 public:
  std::string content;

  tamber::Json broker(const tamber::Json&) override {
    return {{"ok", content.size() % 3 != 0},
            {"error", content},
            {"data_base64", tamber::base64Encode(content)},
            {"bytes_read", content.size()},
            {"file_bytes", content.size()},
            {"sha256", std::string(64, '0')}};
  }
  tamber::Json inventory(const tamber::Json& arguments) override { return broker(arguments); }
};

bool isMessage(const tamber::Json& message) {
  return message.is_object() && message.value("jsonrpc", "") == "2.0" && message.contains("id") &&
         (message.contains("result") != message.contains("error"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static EchoBackend backend;
  tamber::engine::mcp::Session session(backend, false);
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  backend.content = std::string(text.substr(0, 64));
  if (const std::optional<tamber::Json> plain = tamber::parsePlainJson(text);
      plain && (!tamber::Json::accept(text) || tamber::Json::parse(text) != *plain ||
                tamber::Json::parse(text).dump() != plain->dump())) {
    __builtin_trap();
  }
  // The first bytes as a file's text, the next ones as the text an edit replaces.
  const std::string_view before = text.substr(0, text.size() / 2);
  const std::string_view old = text.substr(text.size() / 2, text.size() / 8);
  const tamber::engine::mcp::EditOutcome edited =
      tamber::engine::mcp::applyEdits(before, {{std::string(old), "new", size % 2 == 0}});
  if (edited.refusal.empty() &&
      tamber::engine::mcp::unifiedDiff("f", before, edited.text).empty()) {
    __builtin_trap();
  }
  const std::optional<std::string> response = session.handle(text);
  if (!response) {
    return 0;
  }
  const tamber::Json parsed = tamber::Json::parse(*response, nullptr, false);
  bool wellFormed = isMessage(parsed);
  if (parsed.is_array()) {
    wellFormed = !parsed.empty();
    for (const tamber::Json& element : parsed) {
      wellFormed = wellFormed && isMessage(element);
    }
  }
  if (!wellFormed) {
    __builtin_trap();
  }
  return 0;
}
