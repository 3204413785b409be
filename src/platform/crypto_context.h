// The component's own OpenSSL library context. Every OpenSSL operation of the platform layer
// (certificates, keys, PKCS #7, #10 and #12, chains) runs in this context instead of the
// process-wide default one, so the host application's OpenSSL configuration and providers are never
// touched and cannot change the component's behaviour.
#pragma once

#include <string>

typedef struct ossl_lib_ctx_st OSSL_LIB_CTX;

namespace kelvadrome {

// CryptoLibraryContext returns the context, creating it on first use (thread-safe). It has the
// "default" provider loaded and, when it can be loaded, the "legacy" one (DES, RC2, RC4 and the
// other algorithms of old key files). The context lives until the process ends; the caller never
// frees it. Returns null only if OpenSSL cannot create a context or load the default provider.
OSSL_LIB_CTX* CryptoLibraryContext();

// LegacyProviderLoaded returns true when the context has the "legacy" provider (false also when the
// context could not be created).
bool LegacyProviderLoaded();

// CryptoPropertyQuery returns the property query string the component passes with its fetches
// (empty: any implementation of the loaded providers).
const char* CryptoPropertyQuery();

}  // namespace kelvadrome
