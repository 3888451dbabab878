#include "ctrlkit/ScriptFlag.h"

namespace ctrlkit {

BYTE flagOf(const VARIANT& v) {
  long long value = 0;
  switch (v.vt) {
    case VT_BOOL: return v.boolVal == VARIANT_TRUE ? 1 : 0;
    case VT_I1: value = v.cVal; break;
    case VT_UI1: value = v.bVal; break;
    case VT_I2: value = v.iVal; break;
    case VT_UI2: value = v.uiVal; break;
    case VT_I4: value = v.lVal; break;
    case VT_UI4: value = v.ulVal; break;
    case VT_INT: value = v.intVal; break;
    case VT_UINT: value = v.uintVal; break;
    case VT_I8: value = v.llVal; break;
    case VT_UI8: value = static_cast<long long>(v.ullVal); break;
    default: return 0;
  }
  return (value & 0xFFFF) == 0xFFFF ? 1 : 0;
}

}  // namespace ctrlkit
