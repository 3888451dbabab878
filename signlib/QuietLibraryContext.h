// An OpenSSL library context with only the "null" provider, for parsing
// certificates that are read or carried but whose key is never used.
// OpenSSL 3 otherwise decodes every parsed certificate's public key through
// its provider framework, which costs more than the rest of the work. The
// context belongs to the library's image and is freed when it unloads.
#pragma once

#include <openssl/types.h>

OSSL_LIB_CTX* quietLibraryContext();
