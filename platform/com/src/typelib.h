// The in-memory form of type-library data, shared by the loader, the
// registration code and the dispatcher.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/com.h"

namespace com_internal {

struct ParamData {
  std::u16string name;    // empty when the library keeps no name (a property setter's value)
  VARTYPE vt = VT_EMPTY;  // VT_BYREF marks a pointer parameter
  USHORT flags = 0;       // PARAMFLAG_*
};

struct FuncData {
  MEMBERID memid = 0;
  INVOKEKIND invkind = INVOKE_FUNC;
  std::u16string name;
  WORD flags = 0;  // FUNCFLAG_*
  std::u16string help;
  std::vector<ParamData> params;  // in declared order, the [out, retval] one last
};

struct ImplData {
  std::u16string name;  // an interface of the same library
  INT flags = 0;        // IMPLTYPEFLAG_*
};

struct TypeData {
  TYPEKIND kind = TKIND_DISPATCH;
  GUID guid{};
  std::u16string name;
  WORD flags = 0;  // TYPEFLAG_*
  std::u16string help;
  std::u16string base;  // interfaces: the base interface's name
  std::vector<FuncData> funcs;
  std::vector<ImplData> impls;  // coclasses
};

struct LibData {
  GUID guid{};
  std::u16string name;
  WORD major = 0;
  WORD minor = 0;
  LCID lcid = 0;
  WORD flags = 0;  // LIBFLAG_*
  std::u16string help;
  std::vector<TypeData> types;
};

// Parses the text form (see platform/README.md); false with a reason.
bool parseTypeLib(const std::string& text, LibData* out, std::string* why);

// A type library object over the data.
HRESULT createTypeLib(std::shared_ptr<const LibData> data, ITypeLib** out);

// The data behind objects made by createTypeLib; null for foreign objects.
const LibData* libDataOf(ITypeLib* lib);
// The type behind a type-information object of ours, and its library; null for foreign objects.
const TypeData* typeDataOf(ITypeInfo* info, const LibData** lib = nullptr);

}  // namespace com_internal
