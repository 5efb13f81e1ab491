#include "engine/activity_commands.h"

#include <iostream>

#include "activity/journal.h"
#include "activity/undo.h"
#include "base/failure.h"
#include "base/reply.h"
#include "base/text.h"

namespace tamber::engine {

namespace {

void printGrant(Journal& journal, const JournalGrant& grant, std::int64_t nowMs) {
  const std::vector<JournalEntry> entries = journal.entries(grant.id);
  size_t changes = 0;
  for (const JournalEntry& entry : entries) {
    changes += entry.isChange() ? 1 : 0;
  }
  std::cout << "Grant " << grant.id << " \u00B7 " << grant.mode() << " \u00B7 started "
            << journalDateText(grant.startedMs) << " \u00B7 " << grantStateText(grant, nowMs)
            << "\n";
  for (const std::string& folder : grant.folders) {
    std::cout << "  " << validUtf8(folder) << "\n";
  }
  std::cout << "  " << entries.size() - changes
            << (entries.size() - changes == 1 ? " read" : " reads") << ", " << changes
            << (changes == 1 ? " change" : " changes") << "\n";
  for (const ActivityLine& line : activityLines(entries)) {
    if (!line.change) {
      std::cout << "        " << readsSummary(line.reads) << "\n";
      continue;
    }
    const JournalEntry& change = *line.change;
    std::cout << "  #" << change.id << "  " << journalClockText(change.atMs) << "  "
              << change.action << "  " << validUtf8(change.path);
    if (!change.destination.empty()) {
      std::cout << " -> " << validUtf8(change.destination);
    }
    if (change.elevated) {
      std::cout << "  (with administrator rights)";
    }
    if (change.undoneMs) {
      std::cout << "  (undone " << journalDateText(*change.undoneMs) << " by "
                << validUtf8(change.undoneBy) << ")";
    }
    std::cout << "\n";
  }
}

}  // namespace

int runActivity(const std::string& dataDir, const std::optional<std::string>& grantId, bool json) {
  const std::int64_t nowMs = journalMs(WallClock::now());
  try {
    std::unique_ptr<Journal> journal = Journal::open(dataDir, /*writable=*/false);
    if (grantId && (!journal || !journal->grant(*grantId))) {
      std::cerr << "larkspan: there is no grant " << *grantId << " in the activity journal"
                << std::endl;
      return 1;
    }
    if (json) {
      std::cout << jsonData(journal ? activityJson(*journal, grantId, nowMs)
                                    : Json{{"grants", Json::array()}})
                << std::endl;
      return std::cout ? 0 : 1;
    }
    if (const std::optional<JournalStatus> status = readJournalStatus(dataDir)) {
      for (const std::string& notice : journalNotices(*status)) {
        std::cout << notice << "\n";
      }
    }
    if (!journal || journal->grants(grantId).empty()) {
      std::cout << "No agent activity has been recorded." << std::endl;
      return std::cout ? 0 : 1;
    }
    bool first = true;
    for (const JournalGrant& grant : journal->grants(grantId)) {
      std::cout << (first ? "" : "\n");
      first = false;
      printGrant(*journal, grant, nowMs);
    }
    std::cout.flush();
    return std::cout ? 0 : 1;
  } catch (const Failure& failure) {
    std::cerr << "larkspan: the activity journal cannot be read: " << failure.description()
              << std::endl;
    return 1;
  }
}

int runUndo(const std::string& dataDir, std::int64_t changeId) {
  try {
    std::unique_ptr<Journal> journal = Journal::open(dataDir, /*writable=*/true);
    if (!journal) {
      throw Failure("There is no change " + std::to_string(changeId) + " in the activity journal");
    }
    std::cout << undoChange(*journal, changeId, "the user, with larkspan undo",
                            trashPlacesFromEnvironment())
              << std::endl;
    return std::cout ? 0 : 1;
  } catch (const Failure& failure) {
    std::cerr << "larkspan: " << failure.description() << std::endl;
    return 1;
  }
}

}  // namespace tamber::engine
