// A PKCS#11 module that forwards every call to SoftHSM2 but lists only the
// slots whose token is initialised. SoftHSM2 always offers one more slot with
// an empty, uninitialised token, which a client that wants exactly one token
// would otherwise count as a second token.
//
// The module forwarded to is $P11FWD_TARGET, or SoftHSM2's own library.
#include <dlfcn.h>

#include <cstdlib>
#include <vector>

#include <p11-kit-1/p11-kit/pkcs11.h>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {
CK_FUNCTION_LIST_PTR gTarget = nullptr;
CK_FUNCTION_LIST gList{};

CK_RV Fwd_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
  if (count == nullptr) return CKR_ARGUMENTS_BAD;
  CK_ULONG n = 0;
  CK_RV rv = gTarget->C_GetSlotList(tokenPresent, nullptr, &n);
  if (rv != CKR_OK) return rv;
  std::vector<CK_SLOT_ID> all(n + 1);
  rv = gTarget->C_GetSlotList(tokenPresent, all.data(), &n);
  if (rv != CKR_OK) return rv;
  std::vector<CK_SLOT_ID> shown;
  for (CK_ULONG i = 0; i < n; ++i) {
    CK_TOKEN_INFO info;
    if (gTarget->C_GetTokenInfo(all[i], &info) == CKR_OK && (info.flags & CKF_TOKEN_INITIALIZED))
      shown.push_back(all[i]);
  }
  if (list == nullptr) {
    *count = shown.size();
    return CKR_OK;
  }
  if (*count < shown.size()) {
    *count = shown.size();
    return CKR_BUFFER_TOO_SMALL;
  }
  for (size_t i = 0; i < shown.size(); ++i) list[i] = shown[i];
  *count = shown.size();
  return CKR_OK;
}
}  // namespace

EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
  if (list == nullptr) return CKR_ARGUMENTS_BAD;
  if (gTarget == nullptr) {
    const char* path = std::getenv("P11FWD_TARGET");
    // Kept loaded for the life of the process, like the module it stands for.
    void* lib = dlopen(path != nullptr ? path : "/usr/lib/softhsm/libsofthsm2.so", RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) return CKR_GENERAL_ERROR;
    auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList"));
    CK_FUNCTION_LIST_PTR target = nullptr;
    if (get == nullptr || get(&target) != CKR_OK || target == nullptr) return CKR_GENERAL_ERROR;
    gTarget = target;
    gList = *target;
    gList.C_GetFunctionList = C_GetFunctionList;
    gList.C_GetSlotList = Fwd_GetSlotList;
  }
  *list = &gList;
  return CKR_OK;
}
