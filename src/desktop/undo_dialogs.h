#pragma once

#include <cstdint>
#include <string>

#include "activity/trash.h"
#include "desktop/access_dialogs.h"

namespace tamber::desktop {

inline constexpr const char* kUndoTitle = "Undo the agent's change?";
inline constexpr const char* kNothingUndoneTitle = "Nothing was undone";

// The desktop's side of the activity view's "Undo": the page only names a change; this asks
// the person, in a native dialog that names the file and what will happen ("Undo", "Cancel"),
// and only then undoes it by the rules of activity/undo.h, recorded as done by the user in the
// Tamber window. A change that cannot be undone (unknown, already undone, made with
// administrator rights, or changed since) gets the alert "Nothing was undone" with the reason
// instead, before or after the question. UI thread; nothing is thrown.
class UndoDialogs {
 public:
  // `dialogs` must outlive this object.
  UndoDialogs(std::string dataDirectory, DialogHost& dialogs, TrashPlaces trash)
      : dataDirectory_(std::move(dataDirectory)), dialogs_(dialogs), trash_(std::move(trash)) {}

  // Returns true when the change was undone (the page should then be shown afresh).
  bool undo(std::int64_t change);

 private:
  std::string dataDirectory_;
  DialogHost& dialogs_;
  TrashPlaces trash_;
};

}  // namespace tamber::desktop
