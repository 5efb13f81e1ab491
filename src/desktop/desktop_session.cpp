#include "desktop/desktop_session.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>

#include "base/failure.h"
#include "base/private_directory.h"

namespace tamber::desktop {

void createDirectories(const std::string& path) {
  if (path.empty()) {
    throw errnoFailure(ENOENT);
  }
  for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    const std::string prefix = path.substr(0, end);
    if (!prefix.empty() && ::mkdir(prefix.c_str(), 0777) != 0) {
      const int error = errno;
      if (error != EEXIST) {
        throw errnoFailure(error);
      }
      // Existing directories (or links to them) along the way are fine; a file is not.
      struct stat status {};
      if (::stat(prefix.c_str(), &status) != 0) {
        throw errnoFailure();
      }
      if (!S_ISDIR(status.st_mode)) {
        throw errnoFailure(ENOTDIR);
      }
    }
    if (end == std::string::npos) {
      return;
    }
  }
}

DesktopSession::DesktopSession(std::string dataDirectory, ElevatedApprover* approver)
    : dataDirectory_(std::move(dataDirectory)), approver_(approver) {}

DesktopSession::~DesktopSession() {
  close();
}

void DesktopSession::open() {
  createDirectories(dataDirectory_);
  // On every launch, also for a directory that existed: the socket and audit log inside
  // rely on no one else being able to enter it.
  makeDataDirectoryPrivate(dataDirectory_);

  const std::string lockPath = dataDirectory_ + "/" + kLockName;
  lockFD_.reset(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  require(lockFD_.valid() && ::flock(lockFD_.get(), LOCK_EX | LOCK_NB) == 0, kAlreadyRunning);

  server_.emplace(dataDirectory_, grants_, approver_);
  server_->start();
}

void DesktopSession::startEngine(const std::string& engine,
                                 const std::vector<std::string>& arguments) {
  engine_.start(engine, arguments, dataDirectory_ + "/" + kEngineLogName);
}

void DesktopSession::close() {
  if (closed_) {
    return;
  }
  closed_ = true;
  grants_.revokeAll();
  engine_.terminate();
  if (server_) {
    server_->stop();
    server_.reset();
  }
  lockFD_.reset();
}

}  // namespace tamber::desktop
