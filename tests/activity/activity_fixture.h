#pragma once

// A real broker on a data directory of its own, a granted folder "work" beside a folder no
// grant covers, and a home Trash of their own: what the journal and undo tests drive.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "activity/journal.h"
#include "activity/trash.h"
#include "agent/agent_client.h"
#include "agent/agent_server.h"
#include "base/reply.h"
#include "support/temp_dir.h"

namespace tamber::testing {

class ActivitySession {
 public:
  explicit ActivitySession(bool edit = true) {
    ::chmod(data.c_str(), 0700);
    grant = grants.add({work}, edit, /*elevated=*/false, /*ack=*/true);
    server = std::make_unique<AgentServer>(data, grants, nullptr);
    server->start();
    trash.homeTrash = dir / "share/Trash";
    trash.user = ::getuid();
  }

  // One request over the socket under the grant's token, `fields` added.
  Json ask(const std::string& action, const std::string& path, Json fields = Json::object()) {
    fields["token"] = grant.token;
    fields["action"] = action;
    fields["path"] = path;
    return Json::parse(sendAgentRequest(server->socketPath(), jsonData(fields)));
  }

  // The journal, with every request answered so far in it.
  std::unique_ptr<Journal> journal() {
    server->flushJournal();
    return Journal::open(data, /*writable=*/true);
  }

  // The id of the last entry of `action`.
  std::int64_t last(const std::string& action) {
    std::int64_t id = 0;
    for (const JournalEntry& entry : journal()->entries(grant.id)) {
      if (entry.action == action) {
        id = entry.id;
      }
    }
    return id;
  }

  std::string operator/(const std::string& relative) const { return work + "/" + relative; }

  TempDir dir;
  std::string data = dir.mkdir("data");
  std::string work = dir.mkdir("work");
  std::string outside = dir.mkdir("outside");
  GrantStore grants;
  AgentGrant grant;
  std::unique_ptr<AgentServer> server;
  TrashPlaces trash;
};

}  // namespace tamber::testing
