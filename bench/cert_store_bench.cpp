// A personal store of 10,000 certificates (KELVADROME_BENCH_STORE_SIZE to change): open and
// enumerate with the fields a listing shows, find by thumbprint, add one more. Each beside the same
// work done with OpenSSL directly on the DER certificates held in memory.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <unistd.h>

#include "codec/cert_info.h"
#include "platform/cert_store.h"

namespace {

std::vector<uint8_t> MakeCertificate(EVP_PKEY* key, int serial) {
  X509* cert = X509_new();
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 86400L * 365);
  X509_NAME* name = X509_get_subject_name(cert);
  const std::string cn = "Bench holder " + std::to_string(serial);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>("Example"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509_set_pubkey(cert, key);
  X509_sign(cert, key, EVP_sha256());
  unsigned char* der = nullptr;
  const int length = i2d_X509(cert, &der);
  std::vector<uint8_t> bytes(der, der + length);
  OPENSSL_free(der);
  X509_free(cert);
  return bytes;
}

// The profile with the filled store, made once per run.
struct Fixture {
  Fixture() {
    const char* size_text = std::getenv("KELVADROME_BENCH_STORE_SIZE");
    const int size = size_text != nullptr ? std::atoi(size_text) : 10000;
    folder = std::filesystem::temp_directory_path() /
             ("kelvadrome-store-bench-" + std::to_string(::getpid()));
    setenv("KELVADROME_PROFILE", folder.c_str(), 1);
    EVP_PKEY* key = EVP_EC_gen("P-256");
    auto store = kelvadrome::CertStore::OpenSystem("MY");
    for (int i = 1; i <= size; ++i) {
      certificates.push_back(MakeCertificate(key, i));
      store->Add(certificates.back(), kelvadrome::AddDisposition::kNew);
    }
    extra = MakeCertificate(key, size + 1);
    EVP_PKEY_free(key);
  }
  ~Fixture() { std::filesystem::remove_all(folder); }
  std::filesystem::path folder;
  std::vector<std::vector<uint8_t>> certificates;
  std::vector<uint8_t> extra;
};

Fixture& TheFixture() {
  static Fixture fixture;
  return fixture;
}

void BM_StoreEnumerateWithFields(benchmark::State& state) {
  TheFixture();
  for (auto _ : state) {
    auto store = kelvadrome::CertStore::OpenSystem("MY");
    auto all = store->Enumerate();
    size_t characters = 0;
    for (const auto& certificate : *all) {
      kelvadrome::CertInfo info(certificate.der.data(),
                                static_cast<int32_t>(certificate.der.size()));
      characters += info.GetSubjectCN().size() + info.GetSerial().size() +
                    info.GetNotAfter(kelvadrome::CertDateFormat::kDate).size() +
                    info.GetIssuer().size() + info.GetFingerprint().size();
    }
    benchmark::DoNotOptimize(characters);
  }
  state.counters["certificates"] = static_cast<double>(TheFixture().certificates.size());
}

void BM_OpensslEnumerateWithFields(benchmark::State& state) {
  const auto& certificates = TheFixture().certificates;
  for (auto _ : state) {
    size_t characters = 0;
    for (const auto& der : certificates) {
      const unsigned char* cursor = der.data();
      X509* cert = d2i_X509(nullptr, &cursor, static_cast<long>(der.size()));
      char subject[512];
      X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof subject);
      char issuer[512];
      X509_NAME_oneline(X509_get_issuer_name(cert), issuer, sizeof issuer);
      BIGNUM* serial = ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert), nullptr);
      char* serial_hex = BN_bn2hex(serial);
      struct tm not_after {};
      ASN1_TIME_to_tm(X509_get0_notAfter(cert), &not_after);
      unsigned char sha1[SHA_DIGEST_LENGTH];
      SHA1(der.data(), der.size(), sha1);
      characters += strlen(subject) + strlen(issuer) + strlen(serial_hex) +
                    static_cast<size_t>(not_after.tm_year) + sha1[0];
      OPENSSL_free(serial_hex);
      BN_free(serial);
      X509_free(cert);
    }
    benchmark::DoNotOptimize(characters);
  }
}

void BM_StoreFindByThumbprint(benchmark::State& state) {
  auto& fixture = TheFixture();
  auto store = kelvadrome::CertStore::OpenSystem("MY");
  std::mt19937 random(1);
  for (auto _ : state) {
    const auto& der = fixture.certificates[random() % fixture.certificates.size()];
    auto found = store->Find(kelvadrome::CertificateThumbprint(der));
    if (!found) state.SkipWithError("not found");
  }
}

void BM_OpensslFindByThumbprint(benchmark::State& state) {
  auto& fixture = TheFixture();
  std::mt19937 random(1);
  for (auto _ : state) {
    const auto& wanted = fixture.certificates[random() % fixture.certificates.size()];
    unsigned char target[SHA_DIGEST_LENGTH];
    SHA1(wanted.data(), wanted.size(), target);
    for (const auto& der : fixture.certificates) {
      unsigned char sha1[SHA_DIGEST_LENGTH];
      SHA1(der.data(), der.size(), sha1);
      if (std::memcmp(sha1, target, sizeof sha1) == 0) break;
    }
  }
}

void BM_StoreAddOne(benchmark::State& state) {
  auto& fixture = TheFixture();
  auto store = kelvadrome::CertStore::OpenSystem("MY");
  for (auto _ : state) {
    auto id = store->Add(fixture.extra, kelvadrome::AddDisposition::kNew);
    if (!id) state.SkipWithError("add failed");
    state.PauseTiming();
    store->Delete(*id);
    state.ResumeTiming();
  }
}

void BM_OpensslAddOne(benchmark::State& state) {
  auto& fixture = TheFixture();
  std::vector<std::vector<uint8_t>> copy = fixture.certificates;
  for (auto _ : state) {
    const unsigned char* cursor = fixture.extra.data();
    X509* cert = d2i_X509(nullptr, &cursor, static_cast<long>(fixture.extra.size()));
    copy.push_back(fixture.extra);
    X509_free(cert);
    state.PauseTiming();
    copy.pop_back();
    state.ResumeTiming();
  }
}

BENCHMARK(BM_StoreEnumerateWithFields)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpensslEnumerateWithFields)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StoreFindByThumbprint)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpensslFindByThumbprint)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StoreAddOne)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpensslAddOne)->Unit(benchmark::kMicrosecond);

}  // namespace
