// The script side of the controls: ActiveXObject, the member and property
// bridge to IDispatch, the VARIANT forms of script values, and print().
#pragma once

#include <duktape.h>

#include "host/PageHost.h"

namespace host::bridge {

// Defines ActiveXObject and print in the heap's global object. `options`
// must outlive the heap.
void install(duk_context* ctx, const PageOptions* options);

}  // namespace host::bridge
