#include "platform/handles.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/params.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include "platform/secret_library.h"
#include "platform/secrets.h"
#include "platform/sqlite_library.h"

namespace kelvadrome {

void SqliteDeleter::operator()(sqlite3* db) const {
  if (db != nullptr) Sqlite()->close_v2(db);
}

void SqliteDeleter::operator()(sqlite3_stmt* statement) const {
  if (statement != nullptr) Sqlite()->finalize(statement);
}

void GlibDeleter::operator()(_GCancellable* cancellable) const {
  if (cancellable != nullptr) Secret()->g_object_unref(cancellable);
}

void GlibDeleter::operator()(_GError* error) const {
  if (error != nullptr) Secret()->g_error_free(error);
}

// The OpenSSL free functions all accept null.
void OpensslDeleter::operator()(ossl_lib_ctx_st* context) const {
  OSSL_LIB_CTX_free(context);
}
void OpensslDeleter::operator()(x509_st* certificate) const {
  X509_free(certificate);
}
void OpensslDeleter::operator()(X509_name_st* name) const {
  X509_NAME_free(name);
}
void OpensslDeleter::operator()(X509_req_st* request) const {
  X509_REQ_free(request);
}
void OpensslDeleter::operator()(x509_store_st* store) const {
  X509_STORE_free(store);
}
void OpensslDeleter::operator()(x509_store_ctx_st* store_context) const {
  X509_STORE_CTX_free(store_context);
}
void OpensslDeleter::operator()(bio_st* bio) const {
  BIO_free_all(bio);
}
void OpensslDeleter::operator()(asn1_string_st* string) const {
  ASN1_STRING_free(string);
}
void OpensslDeleter::operator()(asn1_object_st* object) const {
  ASN1_OBJECT_free(object);
}
void OpensslDeleter::operator()(asn1_type_st* value) const {
  ASN1_TYPE_free(value);
}
void OpensslDeleter::operator()(BASIC_CONSTRAINTS_st* constraints) const {
  BASIC_CONSTRAINTS_free(constraints);
}
void OpensslDeleter::operator()(bignum_st* number) const {
  BN_clear_free(number);
}
void OpensslDeleter::operator()(evp_pkey_st* key) const {
  EVP_PKEY_free(key);
}
void OpensslDeleter::operator()(evp_pkey_ctx_st* key_context) const {
  EVP_PKEY_CTX_free(key_context);
}
void OpensslDeleter::operator()(evp_md_ctx_st* digest_context) const {
  EVP_MD_CTX_free(digest_context);
}
void OpensslDeleter::operator()(evp_cipher_ctx_st* cipher_context) const {
  EVP_CIPHER_CTX_free(cipher_context);
}
void OpensslDeleter::operator()(pkcs7_st* message) const {
  PKCS7_free(message);
}
void OpensslDeleter::operator()(PKCS12_st* pfx) const {
  PKCS12_free(pfx);
}
void OpensslDeleter::operator()(evp_md_st* md) const {
  EVP_MD_free(md);
}
void OpensslDeleter::operator()(evp_cipher_st* cipher) const {
  EVP_CIPHER_free(cipher);
}
void OpensslDeleter::operator()(evp_mac_st* mac) const {
  EVP_MAC_free(mac);
}
void OpensslDeleter::operator()(evp_mac_ctx_st* mac_context) const {
  EVP_MAC_CTX_free(mac_context);
}
void OpensslDeleter::operator()(pkcs8_priv_key_info_st* info) const {
  PKCS8_PRIV_KEY_INFO_free(info);
}
void OpensslDeleter::operator()(ossl_param_st* params) const {
  if (params == nullptr) return;
  for (OSSL_PARAM* p = params; p->key != nullptr; ++p) SecureWipe(p->data, p->data_size);
  OSSL_PARAM_free(params);
}
void OpensslDeleter::operator()(ossl_param_bld_st* build) const {
  OSSL_PARAM_BLD_free(build);
}
void OpensslDeleter::operator()(stack_st_X509* certificates) const {
  sk_X509_pop_free(certificates, X509_free);
}
void OpensslDeleter::operator()(stack_st_PKCS7* messages) const {
  sk_PKCS7_pop_free(messages, PKCS7_free);
}
void OpensslDeleter::operator()(stack_st_PKCS12_SAFEBAG* bags) const {
  sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free);
}
void OpensslDeleter::operator()(char* text) const {
  OPENSSL_free(text);
}
void OpensslDeleter::operator()(unsigned char* bytes) const {
  OPENSSL_free(bytes);
}

}  // namespace kelvadrome
