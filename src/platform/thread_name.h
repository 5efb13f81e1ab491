#pragma once

namespace tamber {

// Names the calling thread for debuggers and `ps -T`; at most 15 bytes are kept. Best
// effort: a refusal by the system is ignored.
void nameCurrentThread(const char* name) noexcept;

}  // namespace tamber
