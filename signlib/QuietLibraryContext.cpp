#include "signlib/QuietLibraryContext.h"

#include <openssl/crypto.h>
#include <openssl/provider.h>

namespace {
struct QuietContext {
  OSSL_LIB_CTX* context = nullptr;
  OSSL_PROVIDER* provider = nullptr;
  QuietContext() {
    context = OSSL_LIB_CTX_new();
    if (context == nullptr) return;
    provider = OSSL_PROVIDER_load(context, "null");
    if (provider == nullptr) {
      OSSL_LIB_CTX_free(context);
      context = nullptr;
    }
  }
  // Runs when the deliverable is unloaded, so a control library loaded and
  // freed by its host leaves nothing behind.
  ~QuietContext() {
    if (provider != nullptr) OSSL_PROVIDER_unload(provider);
    if (context != nullptr) OSSL_LIB_CTX_free(context);
  }
};
}  // namespace

OSSL_LIB_CTX* quietLibraryContext() {
  static QuietContext quiet;
  return quiet.context;
}
