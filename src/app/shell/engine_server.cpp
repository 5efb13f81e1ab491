#include "app/shell/engine_server.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <signal.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "access/failure.h"
#include "platform/unique_fd.h"

namespace tamber::desktop {

EngineServer::~EngineServer() {
  if (process_ != nullptr) {
    g_object_unref(process_);
  }
}

void EngineServer::start(const std::string& engine, const std::vector<std::string>& arguments,
                         const std::string& logPath) {
  // Appended across launches and never rotated. No link is followed to the log: the data
  // directory is private, and a link there was not put by us.
  UniqueFd log(
      ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (!log) {
    throw std::runtime_error(errnoFailure().description());
  }
  UniqueFd errors(::fcntl(log.get(), F_DUPFD_CLOEXEC, 3));
  if (!errors) {
    throw std::runtime_error(errnoFailure().description());
  }

  std::vector<const char*> argv{engine.c_str()};
  for (const std::string& argument : arguments) {
    argv.push_back(argument.c_str());
  }
  argv.push_back(nullptr);

  GSubprocessLauncher* launcher = g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_NONE);
  g_subprocess_launcher_take_stdout_fd(launcher, log.release());
  g_subprocess_launcher_take_stderr_fd(launcher, errors.release());
  GError* error = nullptr;
  // Every descriptor but the three standard ones is closed in the child.
  GSubprocess* process = g_subprocess_launcher_spawnv(launcher, argv.data(), &error);
  g_object_unref(launcher);  // closes the parent's copies of the log descriptors
  if (process == nullptr) {
    std::runtime_error failure(error->message);
    g_error_free(error);
    throw failure;
  }
  process_ = process;
  const char* identifier = g_subprocess_get_identifier(process_);
  pid_ = identifier != nullptr ? std::atoi(identifier) : -1;
}

void EngineServer::terminate() {
  if (process_ != nullptr) {
    // Does nothing once GLib has seen the process end.
    g_subprocess_send_signal(process_, SIGTERM);
  }
}

}  // namespace tamber::desktop
