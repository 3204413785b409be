#include "platform/crypto_context.h"

#include <openssl/crypto.h>
#include <openssl/provider.h>

#include "platform/handles.h"
#include "platform/openssl_call.h"

namespace kelvadrome {
namespace {

// Trivially destructible on purpose: the context is never freed, so OpenSSL objects that other
// static objects release during process exit never meet a freed context.
struct CryptoContextState {
  OSSL_LIB_CTX* context = nullptr;
  bool legacy = false;
};

CryptoContextState CreateContext() {
  const OpensslErrorScope scope;
  CryptoContextState state;
  UniqueLibraryContext context(OSSL_LIB_CTX_new());
  if (!context) return state;
  // The providers stay loaded for the life of the context; the handles are not needed afterwards.
  if (OSSL_PROVIDER_load(context.get(), "default") == nullptr) return state;
  state.legacy = OSSL_PROVIDER_load(context.get(), "legacy") != nullptr;
  state.context = context.release();
  return state;
}

const CryptoContextState& State() {
  // Built once; static initialisation makes concurrent first calls wait for one creation.
  static const CryptoContextState state = CreateContext();
  return state;
}

}  // namespace

OSSL_LIB_CTX* CryptoLibraryContext() {
  return State().context;
}

bool LegacyProviderLoaded() {
  return State().legacy;
}

const char* CryptoPropertyQuery() {
  return "";
}

}  // namespace kelvadrome
