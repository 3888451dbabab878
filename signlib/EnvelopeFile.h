// Writing an envelope file so that the name the page gave always holds either
// the old file whole or the new one whole, and so that what a writer leaves
// beside it (a temporary holding the signed content) is readable by the user
// alone and removed by the next write.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace envfile {

// Writes `length` bytes to a temporary beside `target` (a host path), syncs
// it and renames it over `target`, giving it `mode` just before the rename.
// The temporary is owner-only until then and held under an exclusive flock
// while it exists. Temporaries of earlier writes of the same target that no
// live writer holds are removed first: only regular files of this user whose
// flock is free at once and that are still the file their name refers to.
// 0, or the errno of the step that failed (the temporary is then removed);
// *created tells whether the temporary could be made at all.
int writeReplacing(const std::string& target, const unsigned char* data, std::size_t length, mode_t mode,
                   bool* created);

}  // namespace envfile
