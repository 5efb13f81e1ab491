#pragma once

#include <cstdint>
#include <string>

#include "activity/journal.h"
#include "activity/trash.h"

namespace tamber {

// Undo of an agent's change: the one place its rules live, for the Tamber window and for
// `larkspan undo` alike.
//
// - replace: one atomic exchange puts the backup back under the path; the agent's version
//   takes the backup's name, so both stay.
// - write_new and copy: the created file goes to the user's Trash (see trash.h), where any file
//   manager can restore it; mkdir: the folder too, only while it is empty.
// - move: the file goes back to its old name, only while that name is free.
//
// Every undo first checks that each entry it touches is still exactly what the agent left:
// the same device and inode, and the same SHA-256 (for a move, whose content the broker never
// reads, the same size and modification time), and it refuses with a sentence that says what
// changed, ending in "; nothing was undone", leaving every file as it was. It reaches entries
// as the broker did: from the grant's folders, which must still be the folders that were
// granted, through no-follow opens, with the path policy applied as to any request, even
// after the grant has ended. Changes made under an elevated grant are never undone, and a
// change is undone at most once: the journal records who undid it and when.

// What undoing a change would do, for the confirmation a person sees first.
struct UndoPreview {
  bool possible = false;
  std::string file;         // the entry it acts on, as a path in its granted folder
  std::string description;  // what will happen, or why it cannot be undone
};

// Looks at change `id` and its files without changing anything.
UndoPreview previewUndo(Journal& journal, std::int64_t id, const TrashPlaces& trash);

// Undoes change `id` and records it as undone by `who` (words for people, such as "the user,
// in the Tamber window"). Returns a sentence saying what was done. Throws Failure with the
// sentence of the refusal when nothing was undone: "There is no change N in the activity
// journal", "Change N was already undone ...", "Change N was made with administrator rights
// ...", "Entry N is a read ...", or what changed since the agent's change.
std::string undoChange(Journal& journal, std::int64_t id, const std::string& who,
                       const TrashPlaces& trash);

}  // namespace tamber
