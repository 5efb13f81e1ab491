#include "agent/agent_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstring>
#include <optional>

#include "actions/executor.h"
#include "agent/audit_log.h"
#include "agent/request_json.h"
#include "base/failure.h"
#include "platform/fd_io.h"
#include "platform/peer_credentials.h"
#include "platform/thread_name.h"
#include "platform/unix_socket.h"

namespace tamber {
namespace {

using Milliseconds = std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

constexpr int kListenBacklog = 8;
constexpr size_t kReadChunk = 4096;
constexpr Milliseconds kAcceptPause{100};

std::string joinPath(const std::string& directory, const char* name) {
  return directory.ends_with('/') ? directory + name : directory + "/" + name;
}

// Sends the whole reply or gives up. A reply fits the socket's buffer but for a client that
// does not read; only then does the broker wait, at most `wait` for each part and until
// `deadline` in all, and never past a stop. MSG_NOSIGNAL keeps a client that hung up from
// ending the process with SIGPIPE.
void sendReply(int fd, const std::string& reply, int wakeFD, Milliseconds wait,
               Milliseconds timeLimit) {
  // The clock is read only once the first send comes up short, which almost never happens.
  std::optional<SteadyClock::time_point> deadline;
  size_t sent = 0;
  while (sent < reply.size()) {
    const ssize_t n =
        ::send(fd, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
      return;
    }
    const SteadyClock::time_point now = SteadyClock::now();
    if (!deadline) {
      deadline = now + timeLimit;
    }
    if (now >= *deadline) {
      return;
    }
    const Milliseconds left = std::chrono::ceil<Milliseconds>(*deadline - now);
    pollfd watched[2] = {{fd, POLLOUT, 0}, {wakeFD, POLLIN, 0}};
    if (::poll(watched, 2, static_cast<int>(std::min(wait, left).count())) <= 0 ||
        watched[1].revents != 0) {
      return;
    }
  }
}

}  // namespace

AgentServer::AgentServer(std::string dataDirectory, GrantStore& grants, ElevatedApprover* approver,
                         AgentServerOptions options)
    : dataDirectory_(std::move(dataDirectory)),
      socketPath_(joinPath(dataDirectory_, kAgentSocketName)),
      grants_(grants),
      approver_(approver),
      options_(std::move(options)),
      audit_(dataDirectory_) {
  if (!options_.launchHelper) {
    options_.launchHelper = administratorHelperLauncher();
  }
}

AgentServer::~AgentServer() {
  stop();
}

void AgentServer::start() {
  assert(!broker_.joinable() && !socketFD_ && "start() runs once");
  const std::optional<sockaddr_un> address = unixSocketAddress(socketPath_);
  require(address.has_value(), "Private state path is too long for the local agent socket");

  // A socket left by a run that crashed; unlink removes it (or a file or link put in its
  // place) but never a directory and never anything a link points to.
  if (::unlink(socketPath_.c_str()) != 0 && errno != ENOENT) {
    throw errnoFailure();
  }

  int wake[2];
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw errnoFailure();
  }
  UniqueFd wakeRead(wake[0]);
  UniqueFd wakeWrite(wake[1]);

  // Blocking: the broker waits in accept itself, and stop() wakes it by shutting the socket
  // down.
  UniqueFd socketFD(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  require(socketFD.valid(), "Could not create agent socket");

  if (::bind(socketFD.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
    throw BrokerFailure("Could not bind private agent socket");
  }
  // Only the owner may connect; the peer check below is the second line, not the only one.
  if (::chmod(socketPath_.c_str(), 0600) != 0 || ::listen(socketFD.get(), kListenBacklog) != 0) {
    ::unlink(socketPath_.c_str());
    throw BrokerFailure("Could not bind private agent socket");
  }

  socketFD_ = std::move(socketFD);
  wakeRead_ = std::move(wakeRead);
  wakeWrite_ = std::move(wakeWrite);
  try {
    journal_ = std::make_unique<ActivityJournal>(dataDirectory_);
    grants_.setRevocationListener(
        [journal = journal_.get()](const std::vector<std::shared_ptr<const AgentGrant>>& revoked) {
          std::vector<std::string> ids;
          for (const auto& grant : revoked) {
            ids.push_back(grant->id);
          }
          journal->grantsEnded(std::move(ids), WallClock::now());
        });
    broker_ = std::thread([this] { acceptLoop(); });
  } catch (...) {
    grants_.setRevocationListener({});
    journal_.reset();
    socketFD_.reset();
    ::unlink(socketPath_.c_str());
    throw;
  }
}

void AgentServer::flushJournal() {
  if (journal_) {
    journal_->flush();
  }
}

void AgentServer::stop() {
  if (broker_.joinable()) {
    assert(std::this_thread::get_id() != broker_.get_id() && "stop() from the broker thread");
    // The byte is never read back, so every later poll of the broker sees it; the shutdown
    // ends a wait in accept, which then fails at once.
    stopping_ = true;
    const char wake = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wakeWrite_.get(), &wake, 1);
    ::shutdown(socketFD_.get(), SHUT_RDWR);
    broker_.join();
  }
  if (socketFD_) {
    socketFD_.reset();
    ::unlink(socketPath_.c_str());
  }
  wakeRead_.reset();
  wakeWrite_.reset();
  if (journal_) {
    grants_.setRevocationListener({});
    journal_.reset();
  }
}

void AgentServer::acceptLoop() {
  nameCurrentThread("AgentBroker");
  for (;;) {
    // An agent at work sends its next request soon after the last answer.
    pollBriefly(socketFD_.get(), POLLIN);
    UniqueFd client(::accept4(socketFD_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (stopping_) {
      return;  // a connection taken after stop() began is closed unanswered
    }
    if (!client) {
      switch (errno) {
        case EAGAIN:
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
          // The connection went away before it was taken; the socket is fine.
          continue;
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM: {
          // Out of descriptors or memory for now: a pause, not the end of the broker. The
          // wait still ends at once when the server stops.
          pollfd wakeOnly{wakeRead_.get(), POLLIN, 0};
          ::poll(&wakeOnly, 1, static_cast<int>(kAcceptPause.count()));
          continue;
        }
        default:
          return;
      }
    }
    serveClient(client.get());
  }
}

AgentServer::ReadEnd AgentServer::readRequest(int clientFD, std::string& request) {
  // The connection's time starts at the first look at the clock, which a request that arrives
  // whole with its first read never needs; before it lies one read that does not wait.
  std::optional<SteadyClock::time_point> deadline;
  const auto pastDeadline = [&](SteadyClock::time_point now) {
    if (!deadline) {
      deadline = now + options_.requestTimeLimit;
    }
    return now >= *deadline;
  };
  char buffer[kReadChunk];
  while (request.size() <= kRequestLimit) {
    // Take what has arrived without waiting; only an empty socket costs a poll.
    const ssize_t n = ::recv(clientFD, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
      request.append(buffer, static_cast<size_t>(n));
      if (std::memchr(buffer, '\n', static_cast<size_t>(n)) != nullptr) {
        return ReadEnd::Request;
      }
      if (pastDeadline(SteadyClock::now())) {
        return ReadEnd::TimeLimit;
      }
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      return ReadEnd::Request;  // end of stream, or a read error
    }

    const SteadyClock::time_point now = SteadyClock::now();
    if (pastDeadline(now)) {
      return ReadEnd::TimeLimit;
    }
    const Milliseconds untilDeadline = std::chrono::ceil<Milliseconds>(*deadline - now);
    const bool deadlineFirst = untilDeadline < options_.readTimeout;
    const Milliseconds wait = deadlineFirst ? untilDeadline : options_.readTimeout;
    pollfd watched[2] = {{clientFD, POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
    const int ready = ::poll(watched, 2, static_cast<int>(wait.count()));
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready < 0) {
      return ReadEnd::Request;
    }
    if (watched[1].revents != 0) {
      return ReadEnd::Stopping;
    }
    if (ready == 0) {
      // A silent client: its request is what it sent so far, unless it has used up the
      // whole time a connection may take.
      return deadlineFirst ? ReadEnd::TimeLimit : ReadEnd::Request;
    }
  }
  return ReadEnd::Request;
}

void AgentServer::serveClient(int clientFD) {
  // Only processes of the user who runs the broker may talk to it; anyone else is dropped
  // without a byte and leaves no trace in the audit log.
  const std::optional<uid_t> peer = peerUserId(clientFD);
  if (!peer || *peer != owner_) {
    return;
  }

  std::string request;
  std::string reply;
  switch (readRequest(clientFD, request)) {
    case ReadEnd::Stopping:
      return;
    case ReadEnd::TimeLimit:
      reply = jsonData(failureReply("Request timed out"));
      break;
    case ReadEnd::Request:
      reply = answer(request, clientFD);
      break;
  }
  // Every wait for request bytes and for reply room goes through poll with the read timeout.
  sendReply(clientFD, reply, wakeRead_.get(), options_.readTimeout, options_.requestTimeLimit);
}

std::string AgentServer::answer(std::string_view requestBytes, int clientFD) {
  // Almost every request is read as views of its own bytes; anything beyond plain string
  // members goes to the full parser.
  const std::optional<PlainRequest> plain =
      requestBytes.size() <= kRequestLimit ? parsePlainRequest(requestBytes) : std::nullopt;
  Json parsed;
  const RequestView request = plain ? RequestView(*plain) : RequestView(parsed);
  std::string_view token;
  std::shared_ptr<const AgentGrant> grant;
  std::optional<ActionReply> performed;
  std::optional<CheckedAction> admitted;
  ChangeProof proof;
  try {
    require(requestBytes.size() <= kRequestLimit, "Request exceeds limit");
    if (!plain) {
      parsed = parseRequestJson(requestBytes);
    }
    const std::optional<std::string_view> tokenField = request.string("token");
    require(tokenField.has_value(), "Private grant required");
    token = *tokenField;
    grant = grants_.get(token);
    // Preflight comes before the branch, so a request the policy refuses never reaches an
    // approval dialog or an administrator prompt. The elevated path hands the request itself
    // to the helper, which admits it again: it trusts nothing it is given.
    admitted = preflightFileAction(request, *grant);
    if (!grant->elevated) {
      // A long copy for a client that went away stops at its next chunk and leaves nothing.
      performed = performFileAction(*admitted, *grant, &proof,
                                    [clientFD] { return !peerHasGone(clientFD); });
    }
  } catch (const BrokerFailure& failure) {
    return refused(failure.description(), request, std::move(grant), admitted, std::move(proof));
  } catch (const std::exception& error) {
    return refused(error.what(), request, std::move(grant), admitted, std::move(proof));
  }

  if (performed) {
    // An action that returned succeeded; one that failed threw above and is not audited.
    audit_.append(request, /*elevated=*/false, /*ok=*/true);
    journal(std::move(grant), std::move(*admitted), /*ok=*/true, std::move(proof));
    return performed->text();
  }

  // The request stands denied until the approver's work has run: a UI that is shutting down
  // may return without running it.
  Json reply = failureReply("Elevated action denied");
  if (approver_ != nullptr) {
    try {
      approver_->runOnMainThread([&] {
        reply = runElevatedRequest(plain ? plain->toJson() : parsed, std::string(token), *grant,
                                   grants_, *approver_, options_.launchHelper);
      });
    } catch (...) {
      // Keep what the work left: it may already have run the helper.
    }
  }
  const bool ok = isSuccessReply(reply);
  audit_.append(request, /*elevated=*/true, ok);
  // The helper's reply is all the broker learns of an elevated change: its backup and
  // digests, never its inode. Such changes are shown, not undone.
  proof.backupPath = std::string(stringMember(reply, "backup_path").value_or(""));
  proof.previousSha256 = std::string(stringMember(reply, "previous_sha256").value_or(""));
  proof.sha256 = std::string(stringMember(reply, "sha256").value_or(""));
  journal(std::move(grant), std::move(*admitted), ok, std::move(proof));
  return jsonData(reply);
}

std::string AgentServer::refused(const std::string& why, const RequestView& request,
                                 std::shared_ptr<const AgentGrant> grant,
                                 std::optional<CheckedAction>& admitted, ChangeProof&& proof) {
  // A refusal usually changed nothing. An action refused after its change took effect (a
  // replace whose checks found another writer at work) left that change all the same: it is
  // audited as failed and journaled with what it left, so the person sees it and may undo it.
  if (admitted && proof.entry != FolderIdentity{}) {
    audit_.append(request, /*elevated=*/false, /*ok=*/false);
    journal(std::move(grant), std::move(*admitted), /*ok=*/true, std::move(proof));
  }
  return jsonData(failureReply(why));
}

void AgentServer::journal(std::shared_ptr<const AgentGrant> grant, CheckedAction&& admitted,
                          bool ok, ChangeProof&& proof) {
  ActivityRecord record;
  record.grant = std::move(grant);
  record.at = WallClock::now();
  record.action = actionName(admitted.action);
  record.path = std::move(admitted.path.requested);
  if (admitted.destination) {
    record.destination = std::move(admitted.destination->requested);
  }
  record.ok = ok;
  // Only a change that happened has something to prove.
  if (ok && changesFiles(admitted.action)) {
    record.proof = std::move(proof);
    if (admitted.text &&
        (admitted.action == FileAction::writeNew || admitted.action == FileAction::replace)) {
      record.text = std::move(*admitted.text);
    }
  }
  journal_->record(std::move(record));
}

}  // namespace tamber
