// ImportPfxToIE of a PFX file with a 2048-bit key (OpenSSL's default protection: AES-256, PBKDF2
// with 2048 iterations) beside OpenSSL parsing the same file in-process (PKCS12_parse) and with the
// openssl command.
#include <benchmark/benchmark.h>

#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "frame/cert_component.h"

namespace {

struct PfxFixture {
  PfxFixture() {
    folder = std::filesystem::temp_directory_path() /
             ("kelvadrome-pfx-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder / "profile");
    EVP_PKEY* key = EVP_RSA_gen(2048);
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 7);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400L);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Bench Holder"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(X509_get_issuer_name(cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Bench Issuer"), -1, -1, 0);
    X509_set_pubkey(cert, key);
    X509_sign(cert, key, EVP_sha256());
    PKCS12* p12 = PKCS12_create("bench", "Bench Holder", key, cert, nullptr, 0, 0, 0, 0, 0);
    unsigned char* der = nullptr;
    const int length = i2d_PKCS12(p12, &der);
    bytes.assign(der, der + length);
    std::ofstream(folder / "bench.pfx", std::ios::binary)
        .write(reinterpret_cast<const char*>(der), length);
    OPENSSL_free(der);
    PKCS12_free(p12);
    X509_free(cert);
    EVP_PKEY_free(key);
  }
  ~PfxFixture() { std::filesystem::remove_all(folder); }
  std::filesystem::path folder;
  std::vector<uint8_t> bytes;
};

PfxFixture& Fixture() {
  static PfxFixture fixture;
  return fixture;
}

void BM_ImportPfxToIE(benchmark::State& state) {
  auto& fixture = Fixture();
  std::string old;
  if (const char* value = std::getenv("KELVADROME_PROFILE")) old = value;
  setenv("KELVADROME_PROFILE", (fixture.folder / "profile").c_str(), 1);
  {
    kelvadrome::CertComponent component;
    const std::string narrow = fixture.folder.string();
    const std::u16string folder(narrow.begin(), narrow.end());
    for (auto _ : state) {
      if (component.ImportPfxToIE(folder, u"bench.pfx", u"bench", 1, 0) != 0) {
        state.SkipWithError("ImportPfxToIE failed");
      }
    }
  }
  if (old.empty()) {
    unsetenv("KELVADROME_PROFILE");
  } else {
    setenv("KELVADROME_PROFILE", old.c_str(), 1);
  }
}

void BM_OpensslPkcs12Parse(benchmark::State& state) {
  auto& fixture = Fixture();
  for (auto _ : state) {
    const unsigned char* cursor = fixture.bytes.data();
    PKCS12* p12 = d2i_PKCS12(nullptr, &cursor, static_cast<long>(fixture.bytes.size()));
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    if (PKCS12_parse(p12, "bench", &key, &cert, nullptr) != 1) state.SkipWithError("parse");
    EVP_PKEY_free(key);
    X509_free(cert);
    PKCS12_free(p12);
  }
}

void BM_OpensslPkcs12Command(benchmark::State& state) {
  const std::string command = "openssl pkcs12 -in '" + (Fixture().folder / "bench.pfx").string() +
                              "' -passin pass:bench -nodes -out /dev/null 2>/dev/null";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("openssl pkcs12 failed");
  }
}

BENCHMARK(BM_ImportPfxToIE)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpensslPkcs12Parse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpensslPkcs12Command)->Unit(benchmark::kMillisecond);

}  // namespace
