#include "engine/mcp/stdio.h"

#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

#include "platform/fd_io.h"
#include "platform/unique_fd.h"

namespace tamber::engine::mcp {

namespace {

// Most calls, and most message bytes, waiting for the call under way; more are turned away.
constexpr size_t kWaitingCalls = 64;
constexpr size_t kWaitingBytes = 8 * 1024 * 1024;

using SteadyClock = std::chrono::steady_clock;

// How long a call goes on before the other thread reads the input for it, and how long after
// the last call that thread keeps looking at that pace instead of sleeping until woken.
constexpr auto kHandOver = std::chrono::milliseconds(1);
constexpr auto kQuiet = std::chrono::seconds(1);

// Writes whole lines from any thread; after the first failure it writes nothing more.
class LineWriter {
 public:
  explicit LineWriter(const UniqueFd& fd) : fd_(fd) {}

  void write(std::string line) {
    line.push_back('\n');
    std::lock_guard lock(mutex_);
    if (broken_) {
      return;
    }
    broken_ = writeAll(fd_.get(), line) != 0;
  }

  bool broken() {
    std::lock_guard lock(mutex_);
    return broken_;
  }

 private:
  const UniqueFd& fd_;
  std::mutex mutex_;
  bool broken_ = false;
};

bool isBlank(std::string_view line) {
  return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

bool reportsError(const pollfd& watched) {
  return (watched.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
}

// The transport's two threads share two roles: reading the input, and making the calls in
// the order they came, one at a time. A thread that reads a call while none is under way
// makes it itself, with no hand-over; the other thread starts reading for it once the call has
// gone on for kHandOver, so that pings and cancellations are still read while a call waits
// for the broker or the user. While calls come, that thread looks every kHandOver instead of
// being woken for each call (a wake-up costs more than most calls); after kQuiet without
// calls it sleeps until woken. A call that comes while another is under way waits in the
// queue.
class StdioServer {
 public:
  // Serves through copies of `in` and `out` of its own, closed when it ends.
  StdioServer(Session& session, int in, int out, std::chrono::milliseconds progressInterval)
      : session_(session),
        in_(::fcntl(in, F_DUPFD_CLOEXEC, 0)),
        out_(::fcntl(out, F_DUPFD_CLOEXEC, 0)),
        writer_(out_),
        progressInterval_(progressInterval) {}

  // Serves until the client has gone; returns 1 when its output broke (or the streams could
  // not be had), else 0.
  int serve() {
    if (!in_ || !out_) {
      return 1;
    }
    std::thread other([this] { work(); });
    work();
    other.join();
    return outputBroke_ || writer_.broken() ? 1 : 0;
  }

 private:
  struct Pending {
    Json id;
    std::optional<Json> progressToken;
    size_t calls;
    size_t bytes;
    std::function<std::optional<std::string>()> call;
  };

  void work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (gone_) {
        return;
      }
      const SteadyClock::time_point now = SteadyClock::now();
      if (!calling_ && !queue_.empty()) {
        Pending next = std::move(queue_.front());
        queue_.pop_front();
        waitingCalls_ -= next.calls;
        waitingBytes_ -= next.bytes;
        calling_ = true;
        callStarted_ = now;
        running_ = next.id;
        runningCancelled_ = false;
        // The other thread must read for this call if it lasts; when it sleeps without a
        // deadline, it is told so.
        const bool wakeOther = otherAsleep_;
        lock.unlock();
        if (wakeOther) {
          wake_.notify_one();
        }
        std::optional<std::string> response = perform(next);
        lock.lock();
        if (response && !runningCancelled_ && !gone_) {
          // Written before the next call may start, so that answers keep their order.
          lock.unlock();
          writer_.write(std::move(*response));
          lock.lock();
        }
        running_.reset();
        calling_ = false;
        lastCall_ = SteadyClock::now();
        continue;
      }
      if (!reading_ && (!calling_ || now - callStarted_ >= kHandOver)) {
        reading_ = true;
        lock.unlock();
        const bool more = readSome();
        lock.lock();
        reading_ = false;
        if (!more) {
          clientGone();
          lock.unlock();
          // What it asked for and has not started is dropped; the call under way ends at
          // its next safe point.
          session_.abandonCalls();
          wake_.notify_all();
          return;
        }
        continue;
      }
      if (calling_) {
        wake_.wait_until(lock, callStarted_ + kHandOver);
      } else if (now - lastCall_ < kQuiet) {
        wake_.wait_for(lock, kHandOver);
      } else {
        otherAsleep_ = true;
        wake_.wait(lock);
        otherAsleep_ = false;
      }
    }
  }

  // Called with the lock held.
  void clientGone() {
    gone_ = true;
    queue_.clear();
    waitingCalls_ = 0;
    waitingBytes_ = 0;
    runningCancelled_ = true;
  }

  // Reads what input there is, or waits for it, and takes every whole line of it. False once
  // the client has gone: the input ended or failed, or the output broke.
  bool readSome() {
    pollBriefly(in_.get(), POLLIN);  // a client at work sends its next call soon
    for (;;) {
      pollfd watched[2] = {{in_.get(), POLLIN, 0}, {out_.get(), 0, 0}};
      if (::poll(watched, 2, -1) < 0) {
        if (errno == EINTR) {
          continue;
        }
        return finish();
      }
      if (reportsError(watched[1]) || writer_.broken()) {
        outputBroke_ = true;
        return false;
      }
      if (watched[0].revents != 0) {
        break;
      }
    }
    char buffer[65536];
    const ssize_t count = ::tamber::readSome(in_.get(), buffer, sizeof buffer);
    if (count <= 0) {
      return finish();  // a read error ends the input as its end does
    }
    std::string_view chunk(buffer, static_cast<size_t>(count));
    for (;;) {
      const size_t newline = chunk.find('\n');
      const std::string_view piece = chunk.substr(0, newline);
      // Room for the limit and a carriage return; anything longer is not kept at all.
      if (!oversized_ && line_.size() + piece.size() > kMessageLimit + 1) {
        oversized_ = true;
        std::string().swap(line_);
      }
      if (!oversized_) {
        line_.append(piece);
      }
      if (newline == std::string_view::npos) {
        return true;
      }
      take();
      chunk.remove_prefix(newline + 1);
    }
  }

  // The input ended: its last message, without a newline, is still taken.
  bool finish() {
    if (oversized_ || !line_.empty()) {
      take();
    }
    return false;
  }

  // One whole line, its newline gone.
  void take() {
    const bool oversized = oversized_;
    std::string line = std::move(line_);
    line_.clear();
    oversized_ = false;
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (oversized || line.size() > kMessageLimit) {
      writer_.write(Session::oversizedReply());
      return;
    }
    if (isBlank(line)) {
      return;
    }
    Work work = session_.receive(line);
    if (work.cancelled) {
      cancel(*work.cancelled);
    }
    if (work.reply) {
      writer_.write(std::move(*work.reply));
    }
    if (work.call && !add(std::move(work), line.size())) {
      writer_.write(Session::busyReply(work.callId));
    }
  }

  // Queues the call of `work`, unless more calls (or message bytes) than may wait would
  // then be waiting.
  bool add(Work&& work, size_t bytes) {
    std::lock_guard lock(mutex_);
    if (!queue_.empty() &&
        (waitingCalls_ + work.calls > kWaitingCalls || waitingBytes_ + bytes > kWaitingBytes)) {
      return false;
    }
    waitingCalls_ += work.calls;
    waitingBytes_ += bytes;
    queue_.push_back(
        {work.callId, std::move(work.progressToken), work.calls, bytes, std::move(work.call)});
    return true;
  }

  // A queued call with this id is dropped; a running one will not be answered.
  void cancel(const Json& id) {
    std::lock_guard lock(mutex_);
    std::erase_if(queue_, [&](const Pending& pending) {
      if (pending.id != id) {
        return false;
      }
      waitingCalls_ -= pending.calls;
      waitingBytes_ -= pending.bytes;
      return true;
    });
    if (running_ && *running_ == id) {
      runningCancelled_ = true;
    }
  }

  bool cancelled() {
    std::lock_guard lock(mutex_);
    return runningCancelled_;
  }

  // Runs the call; with a progress token, on a thread of its own while this one tells the
  // client every interval that it is still under way.
  std::optional<std::string> perform(Pending& pending) {
    if (!pending.progressToken) {
      return pending.call();
    }
    auto result = std::async(std::launch::async, std::move(pending.call));
    for (int beat = 1; result.wait_for(progressInterval_) == std::future_status::timeout; ++beat) {
      if (cancelled()) {
        continue;  // a cancelled call is not spoken of again
      }
      writer_.write(Json({{"jsonrpc", "2.0"},
                          {"method", "notifications/progress"},
                          {"params",
                           {{"progressToken", *pending.progressToken},
                            {"progress", beat},
                            {"message",
                             "Waiting for the Tamber broker; an elevated request waits "
                             "for the user's approval in the Tamber window"}}}})
                        .dump());
    }
    return result.get();
  }

  Session& session_;
  const UniqueFd in_;
  const UniqueFd out_;
  LineWriter writer_;
  const std::chrono::milliseconds progressInterval_;

  // Only the thread that reads touches these.
  std::string line_;
  bool oversized_ = false;  // the current line passed the limit; its bytes are dropped
  bool outputBroke_ = false;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Pending> queue_;            // guarded by mutex_
  size_t waitingCalls_ = 0;              // guarded by mutex_
  size_t waitingBytes_ = 0;              // guarded by mutex_
  bool reading_ = false;                 // guarded by mutex_
  bool calling_ = false;                 // guarded by mutex_
  SteadyClock::time_point callStarted_;  // guarded by mutex_
  SteadyClock::time_point lastCall_;     // guarded by mutex_
  bool otherAsleep_ = false;             // guarded by mutex_: a thread waits without a deadline
  std::optional<Json> running_;          // guarded by mutex_
  bool runningCancelled_ = false;        // guarded by mutex_
  bool gone_ = false;                    // guarded by mutex_
};

}  // namespace

int serveStdio(Session& session, int in, int out, std::chrono::milliseconds progressInterval) {
  return StdioServer(session, in, out, progressInterval).serve();
}

}  // namespace tamber::engine::mcp
