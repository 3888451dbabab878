// Type-library data: the text form that tools/midl writes, and ITypeLib /
// ITypeInfo over it.
//
// Text form (UTF-8, one record a line; strings in double quotes with \\ \"
// \n \r \t \xHH escapes; numbers in decimal):
//   PLATFORM-TYPELIB 1
//   library {LIBID} NAME MAJOR MINOR LCID LIBFLAGS "help"
//   interface {IID} NAME dispatch|interface TYPEFLAGS BASE "help"
//   func MEMID INVOKEKIND NAME FUNCFLAGS "help"       (a member of the interface above)
//   param NAME|- VARTYPE PARAMFLAGS                    (a parameter of the member above)
//   coclass {CLSID} NAME TYPEFLAGS "help"
//   impl NAME IMPLTYPEFLAGS                            (an interface of the coclass above)
// A parameter's VARTYPE carries VT_BYREF (16384) for a pointer; "-" stands
// for a parameter the library keeps no name for.
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>

#include "internal.h"
#include "platform/kernel.h"
#include "typelib.h"

namespace com_internal {
namespace {

bool tokenize(const std::string& line, std::vector<std::pair<bool, std::string>>* out) {
  size_t i = 0;
  while (i < line.size()) {
    char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r') {
      ++i;
      continue;
    }
    if (c != '"') {
      size_t j = i;
      while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r') ++j;
      out->emplace_back(false, line.substr(i, j - i));
      i = j;
      continue;
    }
    ++i;
    std::string s;
    bool closed = false;
    while (i < line.size()) {
      char d = line[i++];
      if (d == '"') {
        closed = true;
        break;
      }
      if (d != '\\') {
        s.push_back(d);
        continue;
      }
      if (i >= line.size()) return false;
      char e = line[i++];
      switch (e) {
        case '\\': s.push_back('\\'); break;
        case '"': s.push_back('"'); break;
        case 'n': s.push_back('\n'); break;
        case 'r': s.push_back('\r'); break;
        case 't': s.push_back('\t'); break;
        case 'x': {
          if (i + 2 > line.size()) return false;
          char* end = nullptr;
          std::string hex = line.substr(i, 2);
          long v = std::strtol(hex.c_str(), &end, 16);
          if (*end != 0) return false;
          s.push_back(static_cast<char>(v));
          i += 2;
          break;
        }
        default: return false;
      }
    }
    if (!closed) return false;
    out->emplace_back(true, s);
  }
  return true;
}

bool number(const std::pair<bool, std::string>& t, long long lo, long long hi, long long* out) {
  if (t.first || t.second.empty()) return false;
  char* end = nullptr;
  long long v = std::strtoll(t.second.c_str(), &end, 10);
  if (*end != 0 || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool identifier(const std::pair<bool, std::string>& t) {
  if (t.first || t.second.empty()) return false;
  for (char c : t.second)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) return false;
  return !std::isdigit(static_cast<unsigned char>(t.second[0]));
}
}  // namespace

bool parseTypeLib(const std::string& text, LibData* lib, std::string* why) {
  size_t pos = 0;
  int lineNo = 0;
  bool header = false, haveLib = false;
  auto fail = [&](const std::string& w) {
    *why = "line " + std::to_string(lineNo) + ": " + w;
    return false;
  };
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    ++lineNo;
    if (!header) {
      if (line != "PLATFORM-TYPELIB 1" && line != "PLATFORM-TYPELIB 1\r") return fail("not type-library data");
      header = true;
      continue;
    }
    std::vector<std::pair<bool, std::string>> t;
    if (!tokenize(line, &t)) return fail("malformed string");
    if (t.empty()) continue;
    const std::string& kind = t[0].second;
    long long a = 0, b = 0, c = 0, d = 0;
    if (kind == "library") {
      if (haveLib || t.size() != 8 || !parseGuid(toUtf16(t[1].second), &lib->guid) || !identifier(t[2]) ||
          !number(t[3], 0, 0xFFFF, &a) || !number(t[4], 0, 0xFFFF, &b) || !number(t[5], 0, 0xFFFFFFFF, &c) ||
          !number(t[6], 0, 0xFFFF, &d) || !t[7].first)
        return fail("bad library record");
      lib->name = toUtf16(t[2].second);
      lib->major = static_cast<WORD>(a);
      lib->minor = static_cast<WORD>(b);
      lib->lcid = static_cast<LCID>(c);
      lib->flags = static_cast<WORD>(d);
      lib->help = toUtf16(t[7].second);
      haveLib = true;
    } else if (kind == "interface") {
      TypeData type;
      if (!haveLib || t.size() != 7 || !parseGuid(toUtf16(t[1].second), &type.guid) || !identifier(t[2]) ||
          (t[3].second != "dispatch" && t[3].second != "interface") || !number(t[4], 0, 0xFFFF, &a) ||
          !identifier(t[5]) || !t[6].first)
        return fail("bad interface record");
      type.kind = t[3].second == "dispatch" ? TKIND_DISPATCH : TKIND_INTERFACE;
      type.name = toUtf16(t[2].second);
      type.flags = static_cast<WORD>(a);
      type.base = toUtf16(t[5].second);
      type.help = toUtf16(t[6].second);
      lib->types.push_back(std::move(type));
    } else if (kind == "func") {
      if (lib->types.empty() || lib->types.back().kind == TKIND_COCLASS) return fail("a member outside an interface");
      FuncData f;
      if (t.size() != 6 || !number(t[1], -2147483648LL, 2147483647LL, &a) || !number(t[2], 1, 8, &b) ||
          (b != 1 && b != 2 && b != 4 && b != 8) || !identifier(t[3]) || !number(t[4], 0, 0xFFFF, &c) || !t[5].first)
        return fail("bad member record");
      f.memid = static_cast<MEMBERID>(a);
      f.invkind = static_cast<INVOKEKIND>(b);
      f.name = toUtf16(t[3].second);
      f.flags = static_cast<WORD>(c);
      f.help = toUtf16(t[5].second);
      for (const auto& other : lib->types.back().funcs)
        if (other.memid == f.memid && other.invkind == f.invkind)
          return fail("member " + t[3].second + " repeats its id and kind");
      lib->types.back().funcs.push_back(std::move(f));
    } else if (kind == "param") {
      if (lib->types.empty() || lib->types.back().funcs.empty()) return fail("a parameter outside a member");
      ParamData p;
      if (t.size() != 4 || (!identifier(t[1]) && t[1].second != "-") || !number(t[2], 0, 0xFFFF, &a) ||
          !number(t[3], 0, 0xFFFF, &b))
        return fail("bad parameter record");
      p.name = t[1].second == "-" ? u"" : toUtf16(t[1].second);
      p.vt = static_cast<VARTYPE>(a);
      p.flags = static_cast<USHORT>(b);
      auto& params = lib->types.back().funcs.back().params;
      if (!params.empty() && (params.back().flags & PARAMFLAG_FRETVAL))
        return fail("a parameter after the [retval] one");
      params.push_back(std::move(p));
    } else if (kind == "coclass") {
      TypeData type;
      type.kind = TKIND_COCLASS;
      if (!haveLib || t.size() != 5 || !parseGuid(toUtf16(t[1].second), &type.guid) || !identifier(t[2]) ||
          !number(t[3], 0, 0xFFFF, &a) || !t[4].first)
        return fail("bad coclass record");
      type.name = toUtf16(t[2].second);
      type.flags = static_cast<WORD>(a);
      type.help = toUtf16(t[4].second);
      lib->types.push_back(std::move(type));
    } else if (kind == "impl") {
      if (lib->types.empty() || lib->types.back().kind != TKIND_COCLASS) return fail("an interface outside a coclass");
      if (t.size() != 3 || !identifier(t[1]) || !number(t[2], 0, 0xFF, &a)) return fail("bad impl record");
      lib->types.back().impls.push_back(ImplData{toUtf16(t[1].second), static_cast<INT>(a)});
    } else {
      return fail("unknown record '" + kind + "'");
    }
  }
  if (!header || !haveLib) {
    *why = "no library record";
    return false;
  }
  // Every interface a coclass names is in the library.
  for (const auto& type : lib->types) {
    for (const auto& impl : type.impls) {
      bool found = false;
      for (const auto& other : lib->types)
        if (other.kind != TKIND_COCLASS && other.name == impl.name) found = true;
      if (!found) {
        *why = "coclass " + toUtf8(type.name) + " names an interface the library lacks: " + toUtf8(impl.name);
        return false;
      }
    }
  }
  return true;
}

namespace {

BSTR bstrOf(const std::u16string& s) { return SysAllocStringLen(s.data(), static_cast<UINT>(s.size())); }

class TypeLibImpl;

class TypeInfoImpl final : public PlatformSingleInterface<TypeInfoImpl, ITypeInfo> {
 public:
  TypeInfoImpl(TypeLibImpl* lib, UINT index);
  ~TypeInfoImpl();
  const TypeData& data() const;
  const LibData& lib() const;

  HRESULT GetTypeAttr(TYPEATTR** pp) override {
    if (pp == nullptr) return E_INVALIDARG;
    auto* a = new (std::nothrow) TYPEATTR{};
    if (a == nullptr) return E_OUTOFMEMORY;
    const TypeData& t = data();
    a->guid = t.guid;
    a->lcid = lib().lcid;
    a->memidConstructor = -1;
    a->memidDestructor = -1;
    a->typekind = t.kind;
    a->cFuncs = static_cast<WORD>(t.funcs.size());
    a->cImplTypes = static_cast<WORD>(t.impls.size());
    a->cbSizeVft = t.kind == TKIND_COCLASS ? 0 : static_cast<WORD>((7 + t.funcs.size()) * sizeof(void*));
    a->cbAlignment = sizeof(void*);
    a->cbSizeInstance = sizeof(void*);
    a->wTypeFlags = t.flags;
    a->wMajorVerNum = lib().major;
    a->wMinorVerNum = lib().minor;
    *pp = a;
    return S_OK;
  }
  void ReleaseTypeAttr(TYPEATTR* p) override { delete p; }

  HRESULT GetTypeComp(ITypeComp** pp) override {
    if (pp != nullptr) *pp = nullptr;
    return E_NOTIMPL;
  }

  struct FuncBlock {
    FUNCDESC fd;  // first: ReleaseFuncDesc casts back
    std::vector<ELEMDESC> params;
    std::vector<TYPEDESC> pointees;
  };
  HRESULT GetFuncDesc(UINT index, FUNCDESC** pp) override {
    if (pp == nullptr) return E_INVALIDARG;
    *pp = nullptr;
    const TypeData& t = data();
    if (index >= t.funcs.size()) return TYPE_E_ELEMENTNOTFOUND;
    const FuncData& f = t.funcs[index];
    auto* b = new (std::nothrow) FuncBlock{};
    if (b == nullptr) return E_OUTOFMEMORY;
    b->params.resize(f.params.size());
    b->pointees.resize(f.params.size());
    for (size_t i = 0; i < f.params.size(); ++i) {
      ELEMDESC& e = b->params[i];
      std::memset(&e, 0, sizeof e);
      VARTYPE vt = f.params[i].vt;
      if (vt & VT_BYREF) {
        b->pointees[i].vt = static_cast<VARTYPE>(vt & ~VT_BYREF);
        e.tdesc.vt = VT_PTR;
        e.tdesc.lptdesc = &b->pointees[i];
      } else {
        e.tdesc.vt = vt;
      }
      e.paramdesc.wParamFlags = f.params[i].flags;
    }
    FUNCDESC& fd = b->fd;
    fd.memid = f.memid;
    fd.lprgelemdescParam = b->params.empty() ? nullptr : b->params.data();
    fd.funckind = FUNC_DISPATCH;
    fd.invkind = f.invkind;
    fd.callconv = CC_STDCALL;
    fd.cParams = static_cast<SHORT>(f.params.size());
    fd.oVft = static_cast<SHORT>((7 + index) * sizeof(void*));
    fd.elemdescFunc.tdesc.vt = VT_HRESULT;
    fd.wFuncFlags = f.flags;
    *pp = &b->fd;
    return S_OK;
  }
  void ReleaseFuncDesc(FUNCDESC* p) override { delete reinterpret_cast<FuncBlock*>(p); }

  HRESULT GetVarDesc(UINT, VARDESC** pp) override {
    if (pp != nullptr) *pp = nullptr;
    return TYPE_E_ELEMENTNOTFOUND;  // the libraries here hold no variables
  }
  void ReleaseVarDesc(VARDESC*) override {}

  HRESULT GetNames(MEMBERID memid, BSTR* names, UINT cMax, UINT* pc) override {
    if (names == nullptr || pc == nullptr) return E_INVALIDARG;
    *pc = 0;
    for (const auto& f : data().funcs) {
      if (f.memid != memid) continue;
      if (cMax == 0) return S_OK;
      names[(*pc)++] = bstrOf(f.name);
      for (const auto& p : f.params) {
        if (*pc >= cMax) break;
        if (p.name.empty()) continue;
        names[(*pc)++] = bstrOf(p.name);
      }
      return S_OK;
    }
    return TYPE_E_ELEMENTNOTFOUND;
  }

  HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* p) override;
  HRESULT GetImplTypeFlags(UINT index, INT* p) override {
    if (p == nullptr) return E_INVALIDARG;
    if (index >= data().impls.size()) return TYPE_E_ELEMENTNOTFOUND;
    *p = data().impls[index].flags;
    return S_OK;
  }

  HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) override {
    if (names == nullptr || ids == nullptr || count == 0) return E_INVALIDARG;
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    const FuncData* member = nullptr;
    for (const auto& f : data().funcs) {
      if (names[0] != nullptr && equalsNoCase(f.name, names[0])) {
        member = &f;
        break;
      }
    }
    if (member == nullptr) return DISP_E_UNKNOWNNAME;
    ids[0] = member->memid;
    HRESULT hr = S_OK;
    for (UINT i = 1; i < count; ++i) {
      bool found = false;
      // Parameter names of any member of this id (a get/put pair shares one).
      for (const auto& f : data().funcs) {
        if (f.memid != member->memid) continue;
        for (size_t k = 0; k < f.params.size(); ++k) {
          if (names[i] != nullptr && !f.params[k].name.empty() && equalsNoCase(f.params[k].name, names[i])) {
            ids[i] = static_cast<MEMBERID>(k);
            found = true;
            break;
          }
        }
        if (found) break;
      }
      if (!found) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }

  HRESULT Invoke(PVOID, MEMBERID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    // Members are reached through the interface's dispatch table (PlatformDispInvoke).
    return E_NOTIMPL;
  }

  HRESULT GetDocumentation(MEMBERID memid, BSTR* name, BSTR* doc, DWORD* context, BSTR* helpFile) override {
    const std::u16string* n = nullptr;
    const std::u16string* h = nullptr;
    if (memid == -1) {
      n = &data().name;
      h = &data().help;
    } else {
      for (const auto& f : data().funcs) {
        if (f.memid == memid) {
          n = &f.name;
          h = &f.help;
          break;
        }
      }
      if (n == nullptr) return TYPE_E_ELEMENTNOTFOUND;
    }
    if (name != nullptr) *name = bstrOf(*n);
    if (doc != nullptr) *doc = h->empty() ? nullptr : bstrOf(*h);
    if (context != nullptr) *context = 0;
    if (helpFile != nullptr) *helpFile = nullptr;
    return S_OK;
  }

  HRESULT GetDllEntry(MEMBERID, INVOKEKIND, BSTR*, BSTR*, WORD*) override { return TYPE_E_ELEMENTNOTFOUND; }
  HRESULT GetRefTypeInfo(HREFTYPE href, ITypeInfo** pp) override;
  HRESULT AddressOfMember(MEMBERID, INVOKEKIND, PVOID* pp) override {
    if (pp != nullptr) *pp = nullptr;
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, PVOID* pp) override {
    if (pp == nullptr) return E_INVALIDARG;
    *pp = nullptr;
    if (data().kind != TKIND_COCLASS) return TYPE_E_TYPEMISMATCH;
    return CoCreateInstance(data().guid, outer, CLSCTX_INPROC_SERVER, riid, pp);
  }
  HRESULT GetMops(MEMBERID, BSTR* p) override {
    if (p != nullptr) *p = nullptr;
    return S_OK;
  }
  HRESULT GetContainingTypeLib(ITypeLib** pp, UINT* index) override;

  TypeLibImpl* owner_;
  UINT index_;
};

class TypeLibImpl final : public PlatformSingleInterface<TypeLibImpl, ITypeLib> {
 public:
  explicit TypeLibImpl(std::shared_ptr<const LibData> d) : data_(std::move(d)) {}
  const LibData& data() const { return *data_; }

  UINT GetTypeInfoCount() override { return static_cast<UINT>(data_->types.size()); }
  HRESULT GetTypeInfo(UINT index, ITypeInfo** pp) override {
    if (pp == nullptr) return E_INVALIDARG;
    *pp = nullptr;
    if (index >= data_->types.size()) return TYPE_E_ELEMENTNOTFOUND;
    *pp = new (std::nothrow) TypeInfoImpl(this, index);
    return *pp != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT GetTypeInfoType(UINT index, TYPEKIND* p) override {
    if (p == nullptr) return E_INVALIDARG;
    if (index >= data_->types.size()) return TYPE_E_ELEMENTNOTFOUND;
    *p = data_->types[index].kind;
    return S_OK;
  }
  HRESULT GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** pp) override {
    if (pp == nullptr) return E_INVALIDARG;
    *pp = nullptr;
    for (UINT i = 0; i < data_->types.size(); ++i)
      if (data_->types[i].guid == guid) return GetTypeInfo(i, pp);
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT GetLibAttr(TLIBATTR** pp) override {
    if (pp == nullptr) return E_INVALIDARG;
    auto* a = new (std::nothrow) TLIBATTR{};
    if (a == nullptr) return E_OUTOFMEMORY;
    a->guid = data_->guid;
    a->lcid = data_->lcid;
    a->syskind = SYS_WIN64;
    a->wMajorVerNum = data_->major;
    a->wMinorVerNum = data_->minor;
    a->wLibFlags = data_->flags;
    *pp = a;
    return S_OK;
  }
  void ReleaseTLibAttr(TLIBATTR* p) override { delete p; }
  HRESULT GetTypeComp(ITypeComp** pp) override {
    if (pp != nullptr) *pp = nullptr;
    return E_NOTIMPL;
  }
  HRESULT GetDocumentation(INT index, BSTR* name, BSTR* doc, DWORD* context, BSTR* helpFile) override {
    const std::u16string* n;
    const std::u16string* h;
    if (index == -1) {
      n = &data_->name;
      h = &data_->help;
    } else if (index >= 0 && static_cast<size_t>(index) < data_->types.size()) {
      n = &data_->types[index].name;
      h = &data_->types[index].help;
    } else {
      return TYPE_E_ELEMENTNOTFOUND;
    }
    if (name != nullptr) *name = bstrOf(*n);
    if (doc != nullptr) *doc = h->empty() ? nullptr : bstrOf(*h);
    if (context != nullptr) *context = 0;
    if (helpFile != nullptr) *helpFile = nullptr;
    return S_OK;
  }
  HRESULT IsName(LPOLESTR name, ULONG, BOOL* found) override {
    if (name == nullptr || found == nullptr) return E_INVALIDARG;
    *found = FALSE;
    for (const auto& t : data_->types) {
      if (equalsNoCase(t.name, name)) *found = TRUE;
      for (const auto& f : t.funcs)
        if (equalsNoCase(f.name, name)) *found = TRUE;
    }
    return S_OK;
  }
  HRESULT FindName(LPOLESTR name, ULONG, ITypeInfo** infos, MEMBERID* ids, USHORT* pcFound) override {
    if (name == nullptr || infos == nullptr || ids == nullptr || pcFound == nullptr) return E_INVALIDARG;
    USHORT max = *pcFound, n = 0;
    for (UINT i = 0; i < data_->types.size() && n < max; ++i) {
      const TypeData& t = data_->types[i];
      MEMBERID id = -2;
      if (equalsNoCase(t.name, name)) id = -1;
      for (const auto& f : t.funcs)
        if (id == -2 && equalsNoCase(f.name, name)) id = f.memid;
      if (id == -2) continue;
      if (FAILED(GetTypeInfo(i, &infos[n]))) break;
      ids[n++] = id;
    }
    *pcFound = n;
    return S_OK;
  }

 private:
  std::shared_ptr<const LibData> data_;
};

TypeInfoImpl::TypeInfoImpl(TypeLibImpl* lib, UINT index) : owner_(lib), index_(index) { owner_->AddRef(); }
TypeInfoImpl::~TypeInfoImpl() { owner_->Release(); }
const TypeData& TypeInfoImpl::data() const { return owner_->data().types[index_]; }
const LibData& TypeInfoImpl::lib() const { return owner_->data(); }

HRESULT TypeInfoImpl::GetRefTypeOfImplType(UINT index, HREFTYPE* p) {
  if (p == nullptr) return E_INVALIDARG;
  const TypeData& t = data();
  if (index >= t.impls.size()) return TYPE_E_ELEMENTNOTFOUND;
  const auto& types = lib().types;
  for (size_t i = 0; i < types.size(); ++i) {
    if (types[i].kind != TKIND_COCLASS && types[i].name == t.impls[index].name) {
      *p = static_cast<HREFTYPE>(i);
      return S_OK;
    }
  }
  return TYPE_E_ELEMENTNOTFOUND;
}

HRESULT TypeInfoImpl::GetRefTypeInfo(HREFTYPE href, ITypeInfo** pp) { return owner_->GetTypeInfo(href, pp); }

HRESULT TypeInfoImpl::GetContainingTypeLib(ITypeLib** pp, UINT* index) {
  if (pp != nullptr) {
    *pp = owner_;
    owner_->AddRef();
  }
  if (index != nullptr) *index = index_;
  return S_OK;
}
}  // namespace

HRESULT createTypeLib(std::shared_ptr<const LibData> data, ITypeLib** out) {
  *out = new (std::nothrow) TypeLibImpl(std::move(data));
  return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

const LibData* libDataOf(ITypeLib* lib) {
  auto* impl = dynamic_cast<TypeLibImpl*>(lib);
  return impl != nullptr ? &impl->data() : nullptr;
}

const TypeData* typeDataOf(ITypeInfo* info, const LibData** lib) {
  auto* impl = dynamic_cast<TypeInfoImpl*>(info);
  if (impl == nullptr) return nullptr;
  if (lib != nullptr) *lib = &impl->lib();
  return &impl->data();
}

}  // namespace com_internal

PLATFORM_API HRESULT PlatformLoadTypeLibFromMemory(const void* data, SIZE_T size, ITypeLib** pptlib) {
  if (pptlib == nullptr) return E_INVALIDARG;
  *pptlib = nullptr;
  if (data == nullptr && size != 0) return E_INVALIDARG;
  auto lib = std::make_shared<com_internal::LibData>();
  std::string why;
  std::string text(static_cast<const char*>(data), size);
  while (!text.empty() && text.back() == 0) text.pop_back();  // resource data may end in NULs
  if (!com_internal::parseTypeLib(text, lib.get(), &why)) {
    std::string line = "type library: " + why;
    OutputDebugStringA(line.c_str());
    return TYPE_E_UNSUPFORMAT;
  }
  return com_internal::createTypeLib(lib, pptlib);
}
