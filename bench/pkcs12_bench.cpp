// Reading a PFX with a 2048-bit RSA key and its certificate (3DES, 2048 iterations, SHA-1 MAC, as
// the codec writes them): ReadPkcs12 beside OpenSSL's PKCS12_parse of the same bytes, and the
// password check alone. Both readers spend most of their time in the PKCS #12 key derivation
// (three derivations of 2048 iterations: MAC, certificates, key).
#include <benchmark/benchmark.h>

#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <optional>
#include <vector>

#include "platform/pkcs12.h"

namespace {

constexpr char kPassword[] = "bench password";

// The file, made once: a fresh 2048-bit key, a self-signed certificate for it, WritePkcs12.
const std::vector<uint8_t>& BenchFile() {
  static const std::vector<uint8_t> file = [] {
    std::vector<uint8_t> out;
    EVP_PKEY* key = EVP_RSA_gen(2048);
    X509* certificate = X509_new();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Bench"), -1, -1, 0);
    X509_set_issuer_name(certificate, name);
    X509_gmtime_adj(X509_getm_notBefore(certificate), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 86400);
    X509_set_pubkey(certificate, key);
    if (key != nullptr && X509_sign(certificate, key, EVP_sha256()) > 0) {
      kelvadrome::Pkcs12Entry entry;
      unsigned char* der = nullptr;
      const int der_size = i2d_X509(certificate, &der);
      if (der_size > 0) entry.certificate.assign(der, der + der_size);
      OPENSSL_free(der);
      PKCS8_PRIV_KEY_INFO* info = EVP_PKEY2PKCS8(key);
      unsigned char* key_der = nullptr;
      const int key_size = info != nullptr ? i2d_PKCS8_PRIV_KEY_INFO(info, &key_der) : 0;
      if (key_size > 0) entry.private_key.emplace(key_der, static_cast<size_t>(key_size));
      OPENSSL_clear_free(key_der, key_size > 0 ? static_cast<size_t>(key_size) : 0);
      PKCS8_PRIV_KEY_INFO_free(info);
      entry.friendly_name = "bench";
      std::vector<kelvadrome::Pkcs12Entry> entries;
      entries.push_back(std::move(entry));
      if (auto written = kelvadrome::WritePkcs12(entries, kPassword)) out = std::move(*written);
    }
    X509_free(certificate);
    EVP_PKEY_free(key);
    return out;
  }();
  return file;
}

void BM_ReadPkcs12_2048(benchmark::State& state) {
  const auto& file = BenchFile();
  if (file.empty()) state.SkipWithError("could not make the file");
  for (auto _ : state) {
    auto contents = kelvadrome::ReadPkcs12(file, kPassword);
    if (!contents || contents->keys.size() != 1) state.SkipWithError("ReadPkcs12 failed");
    benchmark::DoNotOptimize(contents);
  }
}

void BM_OpensslPkcs12Parse_2048(benchmark::State& state) {
  const auto& file = BenchFile();
  if (file.empty()) state.SkipWithError("could not make the file");
  for (auto _ : state) {
    const unsigned char* p = file.data();
    PKCS12* pfx = d2i_PKCS12(nullptr, &p, static_cast<long>(file.size()));
    EVP_PKEY* key = nullptr;
    X509* certificate = nullptr;
    if (pfx == nullptr || PKCS12_parse(pfx, kPassword, &key, &certificate, nullptr) != 1) {
      state.SkipWithError("PKCS12_parse failed");
    }
    EVP_PKEY_free(key);
    X509_free(certificate);
    PKCS12_free(pfx);
  }
}

void BM_VerifyPkcs12Password_2048(benchmark::State& state) {
  const auto& file = BenchFile();
  if (file.empty()) state.SkipWithError("could not make the file");
  for (auto _ : state) {
    if (!kelvadrome::VerifyPkcs12Password(file, kPassword)) state.SkipWithError("verify failed");
  }
}

BENCHMARK(BM_ReadPkcs12_2048)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpensslPkcs12Parse_2048)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VerifyPkcs12Password_2048)->Unit(benchmark::kMillisecond);

}  // namespace
