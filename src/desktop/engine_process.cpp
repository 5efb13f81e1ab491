#include "desktop/engine_process.h"

#include <fcntl.h>
#include <signal.h>

#include <stdexcept>

#include "base/failure.h"
#include "platform/unique_fd.h"

namespace tamber::desktop {

EngineProcess::~EngineProcess() {
  if (child_) {
    child_->detach();
  }
}

void EngineProcess::start(const std::string& engine, const std::vector<std::string>& arguments,
                          const std::string& logPath) {
  // Appended across launches and never rotated. No link is followed to the log: the data
  // directory is private, and a link there was not put by us.
  UniqueFd log(
      ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (!log) {
    throw std::runtime_error(errnoFailure().description());
  }
  std::vector<std::string> argv = arguments;
  argv.insert(argv.begin(), engine);
  ChildProcess child(
      argv,
      {{}, ChildStream::toNullDevice(), ChildStream::to(log.get()), ChildStream::to(log.get())});
  if (child.startError() != 0) {
    throw std::runtime_error(errnoFailure(child.startError()).description());
  }
  child_.emplace(std::move(child));
}

void EngineProcess::terminate() {
  if (child_) {
    child_->signal(SIGTERM);
  }
}

}  // namespace tamber::desktop
