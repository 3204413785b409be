// One owning handle type per C resource the platform layer uses. Each deleter accepts null and does
// nothing for it, so a handle can always be reset or destroyed. Library types are only declared
// here (their deleters are defined in handles.cpp), so including this header does not pull the
// libraries' own headers into the layers above.
#pragma once

#include <cstdio>
#include <memory>

#include <iconv.h>
#include <ifaddrs.h>
#include <locale.h>
#include <unistd.h>

struct sqlite3;
struct sqlite3_stmt;

// GLib types, as <glib.h> and <gio/gio.h> name the structs.
struct _GCancellable;
struct _GError;

// OpenSSL object types, as <openssl/types.h> and its neighbours name the structs.
struct ossl_lib_ctx_st;
struct x509_st;
struct X509_name_st;
struct X509_req_st;
struct x509_store_st;
struct x509_store_ctx_st;
struct bio_st;
struct asn1_string_st;
struct asn1_object_st;
struct asn1_type_st;
struct BASIC_CONSTRAINTS_st;
struct bignum_st;
struct evp_pkey_st;
struct evp_pkey_ctx_st;
struct evp_md_ctx_st;
struct evp_cipher_ctx_st;
struct pkcs7_st;
struct PKCS12_st;
struct evp_md_st;
struct evp_cipher_st;
struct evp_mac_st;
struct evp_mac_ctx_st;
struct pkcs8_priv_key_info_st;
struct ossl_param_st;
struct ossl_param_bld_st;
struct stack_st_X509;
struct stack_st_PKCS7;
struct stack_st_PKCS12_SAFEBAG;

namespace kelvadrome {

struct IconvDeleter {
  void operator()(void* cd) const {
    if (cd != nullptr && cd != reinterpret_cast<void*>(-1)) iconv_close(static_cast<iconv_t>(cd));
  }
};
// iconv_t is a pointer type; iconv_open's failure value (iconv_t)-1 must be turned into null by the
// caller before it is stored.
using UniqueIconv = std::unique_ptr<void, IconvDeleter>;

struct LocaleDeleter {
  void operator()(locale_t locale) const {
    if (locale != nullptr) freelocale(locale);
  }
};
using UniqueLocale = std::unique_ptr<std::remove_pointer_t<locale_t>, LocaleDeleter>;

struct IfaddrsDeleter {
  void operator()(ifaddrs* list) const {
    if (list != nullptr) freeifaddrs(list);
  }
};
using UniqueIfaddrs = std::unique_ptr<ifaddrs, IfaddrsDeleter>;

struct FileDeleter {
  void operator()(std::FILE* file) const {
    if (file != nullptr) std::fclose(file);
  }
};
using UniqueFile = std::unique_ptr<std::FILE, FileDeleter>;

// SQLite: a connection is closed with sqlite3_close_v2, a statement finalized.
struct SqliteDeleter {
  void operator()(sqlite3* db) const;
  void operator()(sqlite3_stmt* statement) const;
};
using UniqueSqlite = std::unique_ptr<sqlite3, SqliteDeleter>;
using UniqueSqliteStatement = std::unique_ptr<sqlite3_stmt, SqliteDeleter>;

// GLib, reached through the libsecret loaded at run time (platform/secret_library.h): a
// cancellable is released with g_object_unref, an error with g_error_free. Only code that has
// loaded libsecret holds these.
struct GlibDeleter {
  void operator()(_GCancellable* cancellable) const;
  void operator()(_GError* error) const;
};
using UniqueGCancellable = std::unique_ptr<_GCancellable, GlibDeleter>;
using UniqueGError = std::unique_ptr<_GError, GlibDeleter>;

// OpenSSL: one deleter per object type, each calling the type's own free function. ASN1_STRING
// covers every string-like ASN.1 type (INTEGER, BIT STRING, OCTET STRING, TIME and the text
// strings), which OpenSSL represents with one struct. A stack is freed with its elements. Bytes and
// text that OpenSSL allocated for the caller (i2d output, printed numbers) are freed with
// OPENSSL_free.
struct OpensslDeleter {
  void operator()(ossl_lib_ctx_st* context) const;
  void operator()(x509_st* certificate) const;
  void operator()(X509_name_st* name) const;
  void operator()(X509_req_st* request) const;
  void operator()(x509_store_st* store) const;
  void operator()(x509_store_ctx_st* store_context) const;
  void operator()(bio_st* bio) const;
  void operator()(asn1_string_st* string) const;
  void operator()(asn1_object_st* object) const;
  void operator()(asn1_type_st* value) const;
  void operator()(BASIC_CONSTRAINTS_st* constraints) const;
  void operator()(bignum_st* number) const;
  void operator()(evp_pkey_st* key) const;
  void operator()(evp_pkey_ctx_st* key_context) const;
  void operator()(evp_md_ctx_st* digest_context) const;
  void operator()(evp_cipher_ctx_st* cipher_context) const;
  void operator()(pkcs7_st* message) const;
  void operator()(PKCS12_st* pfx) const;
  void operator()(evp_md_st* md) const;
  void operator()(evp_cipher_st* cipher) const;
  void operator()(evp_mac_st* mac) const;
  void operator()(evp_mac_ctx_st* mac_context) const;
  void operator()(pkcs8_priv_key_info_st* info) const;
  void operator()(ossl_param_st* params) const;
  void operator()(ossl_param_bld_st* build) const;
  void operator()(stack_st_X509* certificates) const;
  void operator()(stack_st_PKCS7* messages) const;
  void operator()(stack_st_PKCS12_SAFEBAG* bags) const;
  void operator()(char* text) const;
  void operator()(unsigned char* bytes) const;
};
using UniqueLibraryContext = std::unique_ptr<ossl_lib_ctx_st, OpensslDeleter>;
using UniqueX509 = std::unique_ptr<x509_st, OpensslDeleter>;
using UniqueX509Name = std::unique_ptr<X509_name_st, OpensslDeleter>;
using UniqueX509Request = std::unique_ptr<X509_req_st, OpensslDeleter>;
using UniqueX509Store = std::unique_ptr<x509_store_st, OpensslDeleter>;
using UniqueX509StoreContext = std::unique_ptr<x509_store_ctx_st, OpensslDeleter>;
using UniqueBio = std::unique_ptr<bio_st, OpensslDeleter>;
using UniqueAsn1String = std::unique_ptr<asn1_string_st, OpensslDeleter>;
using UniqueAsn1Object = std::unique_ptr<asn1_object_st, OpensslDeleter>;
using UniqueAsn1Type = std::unique_ptr<asn1_type_st, OpensslDeleter>;
using UniqueBasicConstraints = std::unique_ptr<BASIC_CONSTRAINTS_st, OpensslDeleter>;
using UniqueBignum = std::unique_ptr<bignum_st, OpensslDeleter>;  // freed with BN_clear_free
using UniqueEvpPkey = std::unique_ptr<evp_pkey_st, OpensslDeleter>;
using UniqueEvpPkeyContext = std::unique_ptr<evp_pkey_ctx_st, OpensslDeleter>;
using UniqueEvpMdContext = std::unique_ptr<evp_md_ctx_st, OpensslDeleter>;
using UniqueEvpCipherContext = std::unique_ptr<evp_cipher_ctx_st, OpensslDeleter>;
using UniquePkcs7 = std::unique_ptr<pkcs7_st, OpensslDeleter>;
using UniquePkcs12 = std::unique_ptr<PKCS12_st, OpensslDeleter>;
using UniqueEvpMd = std::unique_ptr<evp_md_st, OpensslDeleter>;
using UniqueEvpCipher = std::unique_ptr<evp_cipher_st, OpensslDeleter>;
using UniqueEvpMac = std::unique_ptr<evp_mac_st, OpensslDeleter>;
using UniqueEvpMacContext = std::unique_ptr<evp_mac_ctx_st, OpensslDeleter>;
// PKCS8_PRIV_KEY_INFO_free wipes the key octets before it frees them.
using UniquePkcs8Info = std::unique_ptr<pkcs8_priv_key_info_st, OpensslDeleter>;
// Parameter arrays may carry private key parts: every value is wiped before the array is freed.
using UniqueSecretParams = std::unique_ptr<ossl_param_st, OpensslDeleter>;
using UniqueParamBuild = std::unique_ptr<ossl_param_bld_st, OpensslDeleter>;
using UniqueX509Stack = std::unique_ptr<stack_st_X509, OpensslDeleter>;
using UniquePkcs7Stack = std::unique_ptr<stack_st_PKCS7, OpensslDeleter>;
using UniqueSafeBagStack = std::unique_ptr<stack_st_PKCS12_SAFEBAG, OpensslDeleter>;
using UniqueOpensslText = std::unique_ptr<char, OpensslDeleter>;
using UniqueOpensslBytes = std::unique_ptr<unsigned char, OpensslDeleter>;

// A POSIX file descriptor; -1 means none.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Close closes the descriptor now and returns false when close() reported an error (after a
  // write, that can be the first sign that data did not reach the disk). The descriptor is released
  // either way; true when nothing was held.
  bool Close() {
    if (fd_ < 0) return true;
    const int result = ::close(fd_);
    fd_ = -1;
    return result == 0;
  }

 private:
  int fd_ = -1;
};

}  // namespace kelvadrome
