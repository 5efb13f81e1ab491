#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "desktop/engine_connection.h"

namespace tamber::desktop {

// Sends identity probes ("GET /api/invite" on 127.0.0.1 at a port) over HTTP and judges the
// reply with isEngineIdentity. The probe goes straight to the loopback address: never
// through a proxy named by the environment, never after a redirect, and it reads at most
// 64 KiB of the reply.
//
// Threads: create, use and destroy on the thread that runs the GLib main context the probes
// are sent from (the thread-default context at the time of probe()); verdicts are delivered
// there.
class IdentityProbe {
 public:
  explicit IdentityProbe(std::chrono::milliseconds timeout = kProbeTimeout);
  ~IdentityProbe();  // cancels probes in flight; their `done` is never called
  IdentityProbe(const IdentityProbe&) = delete;
  IdentityProbe& operator=(const IdentityProbe&) = delete;

  // Sends one probe to `port` and calls `done` once with the verdict: false for a transport
  // error, the time limit, a body over the size limit, or a body that is not our engine's.
  void probe(int port, std::function<void(bool identified)> done);

  // Shared with the probes in flight, which may outlive this object.
  struct Session;

 private:
  std::shared_ptr<Session> session_;
};

}  // namespace tamber::desktop
