#include "desktop/undo_dialogs.h"

#include <memory>

#include "activity/undo.h"
#include "base/failure.h"

namespace tamber::desktop {

bool UndoDialogs::undo(std::int64_t change) {
  try {
    std::unique_ptr<Journal> journal = Journal::open(dataDirectory_, /*writable=*/true);
    if (!journal) {
      throw Failure("There is no change " + std::to_string(change) + " in the activity journal");
    }
    const UndoPreview preview = previewUndo(*journal, change, trash_);
    if (!preview.possible) {
      throw Failure(preview.description);
    }
    if (dialogs_.alert(kUndoTitle, preview.description, {"Undo", "Cancel"}) != 0) {
      return false;
    }
    // Every rule is checked again: the files may have changed while the question was open.
    undoChange(*journal, change, "the user, in the Tamber window", trash_);
    return true;
  } catch (const Failure& failure) {
    dialogs_.alert(kNothingUndoneTitle, failure.description(), {"OK"});
    return false;
  }
}

}  // namespace tamber::desktop
