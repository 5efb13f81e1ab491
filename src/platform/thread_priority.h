#pragma once

namespace tamber {

// Lowers the calling thread's scheduling priority (nice 10), so that work which can wait, such
// as writing a journal, yields the processor to the threads that answer requests. Best
// effort: a refusal by the system is ignored.
void lowerCurrentThreadPriority() noexcept;

}  // namespace tamber
