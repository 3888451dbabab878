// The rule by which a control reads a flag property that script sets with
// any kind of value.
#pragma once

#include "platform/com.h"

namespace ctrlkit {

// Booleans, and whole numbers by their low 16 bits (VARIANT_TRUE, or a
// number such as -1 whose low 16 bits are all ones), give 1; any other kind
// of value (text, objects, fractions) is never read as a flag and gives 0.
BYTE flagOf(const VARIANT& v);

}  // namespace ctrlkit
