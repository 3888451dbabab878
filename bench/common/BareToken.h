// The bare PKCS#11 steps the token benchmarks write out call for call, to
// set against the library's own sequence: nothing around the calls but the
// checks of their results. Header only; the benchmark links the loader.
#pragma once

#include <dlfcn.h>

#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "signlib/PKCS11TokenUtil.h"

namespace bench {

struct BareToken {
  void* lib = nullptr;
  CK_FUNCTION_LIST_PTR f = nullptr;
  CK_SESSION_HANDLE session = 0;

  // The module loaded, its function list and C_Initialize.
  bool load(const std::string& modulePath) {
    lib = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    auto getList = lib != nullptr ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList")) : nullptr;
    return getList != nullptr && getList(&f) == CKR_OK && f->C_Initialize(nullptr) == CKR_OK;
  }
  // The slot list (its count, then the one slot) and a session on it.
  bool openSession() {
    CK_ULONG count = 0;
    CK_SLOT_ID slot = 0;
    return f->C_GetSlotList(CK_TRUE, nullptr, &count) == CKR_OK && count == 1 &&
           f->C_GetSlotList(CK_TRUE, &slot, &count) == CKR_OK &&
           f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session) == CKR_OK;
  }
  bool login(const char* pin, CK_ULONG length) {
    return f->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin)), length) == CKR_OK;
  }
  // The one object a two-attribute template names: init, find, final.
  bool findOne(CK_ATTRIBUTE (&tmpl)[2], CK_OBJECT_HANDLE* object) {
    CK_ULONG found = 0;
    return f->C_FindObjectsInit(session, tmpl, 2) == CKR_OK && f->C_FindObjects(session, object, 1, &found) == CKR_OK &&
           f->C_FindObjectsFinal(session) == CKR_OK && found == 1;
  }
  // One signature of data with the key (up to 2048-bit).
  bool sign(CK_MECHANISM_TYPE type, CK_OBJECT_HANDLE key, std::vector<unsigned char>& data) {
    CK_MECHANISM mechanism = {type, nullptr, 0};
    unsigned char signature[256];
    CK_ULONG signatureLength = sizeof signature;
    bool ok = f->C_SignInit(session, &mechanism, key) == CKR_OK &&
              f->C_Sign(session, data.data(), data.size(), signature, &signatureLength) == CKR_OK;
    benchmark::DoNotOptimize(signature);
    return ok;
  }
  // The session closed (after logging out), the module finalised and unloaded.
  void unload() {
    closeSession();
    f->C_Finalize(nullptr);
    dlclose(lib);
  }
  void closeSession() {
    f->C_Logout(session);
    f->C_CloseSession(session);
  }
};

}  // namespace bench
