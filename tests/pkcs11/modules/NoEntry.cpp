// A library that loads but is no PKCS#11 module: it has no C_GetFunctionList.
extern "C" __attribute__((visibility("default"))) int NotAToken() { return 0; }
