#include "platform/thread_name.h"

#include <pthread.h>

#include <cstring>

namespace tamber {

void nameCurrentThread(const char* name) noexcept {
  // The kernel refuses names of 16 bytes or more outright, so cut rather than lose the name.
  char shortName[16] = {};
  std::strncpy(shortName, name, sizeof shortName - 1);
  ::pthread_setname_np(::pthread_self(), shortName);
}

}  // namespace tamber
