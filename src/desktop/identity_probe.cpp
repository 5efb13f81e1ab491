#include "desktop/identity_probe.h"

#include <gio/gio.h>
#include <libsoup/soup.h>

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "desktop/settings.h"

namespace tamber::desktop {
namespace {

constexpr size_t kBodyLimit = 64 * 1024;

}  // namespace

namespace {
struct Call;
}  // namespace

struct IdentityProbe::Session {
  SoupSession* soup = nullptr;
  std::chrono::milliseconds timeout;
  bool closed = false;
  std::set<Call*> calls;  // in flight
};

namespace {

// One probe in flight. It owns itself and is freed by whichever step finishes it.
struct Call {
  std::shared_ptr<IdentityProbe::Session> session;
  std::function<void(bool)> done;
  GCancellable* cancellable = g_cancellable_new();
  GSource* timer = nullptr;
  GInputStream* stream = nullptr;
  std::vector<char> body = std::vector<char>(kBodyLimit + 1);
  size_t received = 0;

  Call(std::shared_ptr<IdentityProbe::Session> owner, std::function<void(bool)> verdict)
      : session(std::move(owner)), done(std::move(verdict)) {
    session->calls.insert(this);
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  ~Call() {
    session->calls.erase(this);
    g_source_destroy(timer);
    g_source_unref(timer);
    g_clear_object(&stream);
    g_object_unref(cancellable);
  }

  void finish(bool identified) {
    // A probe whose owner went away reports nothing: the chain it belonged to is gone.
    if (!session->closed) {
      done(identified);
    }
    delete this;
  }

  void judge() {
    if (received > kBodyLimit) {
      finish(false);
      return;
    }
    finish(isEngineIdentity(std::string_view(body.data(), received)));
  }
};

void readMore(Call* call);

void bodyRead(GObject* source, GAsyncResult* result, gpointer data) {
  auto* call = static_cast<Call*>(data);
  const gssize count = g_input_stream_read_finish(G_INPUT_STREAM(source), result, nullptr);
  if (count < 0) {
    call->finish(false);
  } else if (count == 0) {
    call->judge();
  } else {
    call->received += static_cast<size_t>(count);
    if (call->received > kBodyLimit) {
      call->judge();
    } else {
      readMore(call);
    }
  }
}

void readMore(Call* call) {
  g_input_stream_read_async(call->stream, call->body.data() + call->received,
                            call->body.size() - call->received, G_PRIORITY_DEFAULT,
                            call->cancellable, bodyRead, call);
}

void sent(GObject* source, GAsyncResult* result, gpointer data) {
  auto* call = static_cast<Call*>(data);
  // The status code is deliberately ignored: only the body says whether this is our engine.
  call->stream = soup_session_send_finish(SOUP_SESSION(source), result, nullptr);
  if (call->stream == nullptr) {
    call->finish(false);
    return;
  }
  readMore(call);
}

gboolean timedOut(gpointer data) {
  auto* call = static_cast<Call*>(data);
  // The pending read or send then completes with G_IO_ERROR_CANCELLED and finishes the call.
  g_cancellable_cancel(call->cancellable);
  return G_SOURCE_REMOVE;
}

}  // namespace

IdentityProbe::IdentityProbe(std::chrono::milliseconds timeout)
    : session_(std::make_shared<Session>()) {
  session_->timeout = timeout;
  session_->soup = soup_session_new();
  // The engine lives on this machine: a proxy from the environment must never see the
  // probe, and a redirect must never carry it to another address.
  soup_session_set_proxy_resolver(session_->soup, nullptr);
  const guint seconds = static_cast<guint>((timeout.count() + 999) / 1000);
  soup_session_set_timeout(session_->soup, seconds);
  soup_session_set_idle_timeout(session_->soup, seconds);
}

IdentityProbe::~IdentityProbe() {
  session_->closed = true;
  // Every call in flight then completes as cancelled and frees itself, silently.
  for (Call* call : session_->calls) {
    g_cancellable_cancel(call->cancellable);
  }
  g_object_unref(session_->soup);
}

void IdentityProbe::probe(int port, std::function<void(bool identified)> done) {
  SoupMessage* message = soup_message_new("GET", probeAddress(port).c_str());
  if (message == nullptr) {
    done(false);
    return;
  }
  soup_message_set_flags(message, SOUP_MESSAGE_NO_REDIRECT);
  auto* call = new Call(session_, std::move(done));
  call->timer = g_timeout_source_new(static_cast<guint>(session_->timeout.count()));
  g_source_set_callback(call->timer, timedOut, call, nullptr);
  g_source_attach(call->timer, g_main_context_get_thread_default());
  soup_session_send_async(session_->soup, message, G_PRIORITY_DEFAULT, call->cancellable, sent,
                          call);
  g_object_unref(message);
}

}  // namespace tamber::desktop
