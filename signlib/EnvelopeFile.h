// Writing an envelope file so that the name the page gave always holds either
// the old file whole or the new one whole, and so that what a writer leaves
// beside it (a temporary holding the signed content) is readable by the user
// alone and removed by the next write; and so that a file the user could not
// have written in place is not replaced either.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

namespace envfile {

// An existing file marked read-only: no write permission for its owner. It
// stands for the read-only attribute, which refuses a write to every user,
// an administrator too: root is refused here as well, where the system
// itself would let it write.
bool markedReadOnly(const struct stat& st);

// Writes `length` bytes to a temporary beside `target` (a host path), syncs
// it and renames it over `target`, giving it `mode` just before the rename.
// An existing `target` is replaced only when this process could open it for
// writing (its name not a link) and it is not marked read-only; else nothing
// is touched and the errno that refuses it is given. The temporary is
// owner-only until then and held under an exclusive flock while it exists.
// Temporaries of earlier writes of the same target that no live writer holds
// are removed first: only names of the form `<target>.tmp.` and six letters
// or digits (the form mkostemp makes, and a file of that form is taken for
// one), regular files of this user whose flock is free at once and that are
// still the file their name refers to. 0, or the errno of the step that
// failed (the temporary is then removed); *created tells whether the target
// could be written at all: it may be replaced and the temporary was made.
int writeReplacing(const std::string& target, const unsigned char* data, std::size_t length, mode_t mode,
                   bool* created);

// Opens what is not replaced whole (a link, a device, a FIFO) for writing in
// place, a link followed and a link to no file making that file, as fopen
// "wb" does; a regular file reached is emptied. Refused, -1 with errno, when
// what it reaches is marked read-only (EACCES) or cannot be opened for
// writing; a FIFO that nobody reads refuses at once (ENXIO) rather than
// waiting for a reader. The descriptor writes blocking, as a stream does.
int openInPlace(const std::string& target);

}  // namespace envfile
