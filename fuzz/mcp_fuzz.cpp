// Client messages through the MCP session: every message gets at most one response, which is
// a JSON-RPC 2.0 message (or, for a batch, an array of them); never a crash. The backend
// answers calls with a read reply whose bytes come from the input, so results are rendered
// for text and for binary content alike.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/base64.h"
#include "base/reply.h"
#include "engine/mcp/session.h"

namespace {

class EchoBackend : public tamber::engine::mcp::ToolBackend {
 public:
  std::string content;

  tamber::Json perform(const tamber::engine::mcp::Tool&, const tamber::Json&) override {
    return {{"ok", content.size() % 3 != 0},
            {"error", content},
            {"data_base64", tamber::base64Encode(content)},
            {"bytes_read", content.size()},
            {"sha256", std::string(64, '0')}};
  }
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
