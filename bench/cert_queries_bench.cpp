// Listing the personal store through the component's queries: GetIECertCount over a store of
// 10,000 certificates (KELVADROME_BENCH_STORE_SIZE to change), then every index query (serial,
// common name, subject, issuer, both validity bounds, fingerprint) for every index. Beside it,
// OpenSSL producing the same seven texts from the same DER held in memory: parse each certificate,
// print serial, common name, both names and both bounds (local time), and hash it.
#include <benchmark/benchmark.h>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "frame/cert_component.h"
#include "platform/cert_store.h"

namespace {

// Points the component at |folder| for the life of the object, then restores the earlier profile.
class ProfileFolder {
 public:
  explicit ProfileFolder(const std::filesystem::path& folder) {
    if (const char* old = std::getenv("KELVADROME_PROFILE")) old_ = old;
    setenv("KELVADROME_PROFILE", folder.c_str(), 1);
  }
  ~ProfileFolder() {
    if (old_.empty()) {
      unsetenv("KELVADROME_PROFILE");
    } else {
      setenv("KELVADROME_PROFILE", old_.c_str(), 1);
    }
  }
  ProfileFolder(const ProfileFolder&) = delete;
  ProfileFolder& operator=(const ProfileFolder&) = delete;

 private:
  std::string old_;
};

void AddEntry(X509_NAME* name, const char* field, const std::string& value) {
  X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0);
}

// "C=TW, O=Example, OU=Desk <n % 20>, CN=Query holder <n>", issued by a CA name, a year's validity
// from a start that differs for each certificate.
std::vector<uint8_t> MakeCertificate(EVP_PKEY* key, int serial) {
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 0x10000 + serial);
  X509_gmtime_adj(X509_getm_notBefore(cert), -86400L * 30 - serial * 60L);
  X509_gmtime_adj(X509_getm_notAfter(cert), 86400L * 335 + serial * 60L);
  X509_NAME* subject = X509_get_subject_name(cert);
  AddEntry(subject, "C", "TW");
  AddEntry(subject, "O", "Example");
  AddEntry(subject, "OU", "Desk " + std::to_string(serial % 20));
  AddEntry(subject, "CN", "Query holder " + std::to_string(serial));
  X509_NAME* issuer = X509_get_issuer_name(cert);
  AddEntry(issuer, "O", "Example");
  AddEntry(issuer, "CN", "Query issuing CA");
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
             ("kelvadrome-queries-bench-" + std::to_string(::getpid()));
    ProfileFolder profile(folder);
    EVP_PKEY* key = EVP_EC_gen("P-256");
    auto store = kelvadrome::CertStore::OpenSystem("MY");
    for (int i = 1; i <= size; ++i) {
      certificates.push_back(MakeCertificate(key, i));
      store->Add(certificates.back(), kelvadrome::AddDisposition::kNew);
    }
    EVP_PKEY_free(key);
  }
  ~Fixture() { std::filesystem::remove_all(folder); }
  std::filesystem::path folder;
  std::vector<std::vector<uint8_t>> certificates;
};

Fixture& TheFixture() {
  static Fixture fixture;
  return fixture;
}

kelvadrome::ComponentEnvironment NoProtectedMode() {
  kelvadrome::ComponentEnvironment environment;
  environment.protected_mode_probe = [] { return false; };
  return environment;
}

void BM_GetIECertCount(benchmark::State& state) {
  auto& fixture = TheFixture();
  ProfileFolder profile(fixture.folder);
  kelvadrome::CertComponent component(NoProtectedMode());
  int32_t count = 0;
  for (auto _ : state) {
    count = component.GetIECertCount();
    if (count != static_cast<int32_t>(fixture.certificates.size())) {
      state.SkipWithError("wrong count");
    }
  }
  state.counters["certificates"] = count;
}

void BM_CountAndEveryIndexQuery(benchmark::State& state) {
  auto& fixture = TheFixture();
  ProfileFolder profile(fixture.folder);
  kelvadrome::CertComponent component(NoProtectedMode());
  size_t characters = 0;
  for (auto _ : state) {
    characters = 0;
    const int32_t count = component.GetIECertCount();
    for (int32_t i = 1; i <= count; ++i) {
      characters += component.GetIECertSerial(i).size() + component.GetIECertCommonName(i).size() +
                    component.GetIECertSubject(i).size() + component.GetIECertIssuer(i).size() +
                    component.GetIECertNotBefore(i).size() + component.GetIECertNotAfter(i).size() +
                    component.GetIECertFinger(i).size();
    }
    if (count == 0 || characters == 0) state.SkipWithError("nothing listed");
  }
  state.counters["certificates"] = static_cast<double>(fixture.certificates.size());
  state.counters["characters"] = static_cast<double>(characters);
}

std::string NameText(const X509_NAME* name) {
  BIO* bio = BIO_new(BIO_s_mem());
  X509_NAME_print_ex(bio, name, 0, XN_FLAG_SEP_COMMA_PLUS | XN_FLAG_DN_REV);
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  std::string text(data, static_cast<size_t>(size));
  BIO_free(bio);
  return text;
}

std::string LocalCompact(const ASN1_TIME* time) {
  struct tm utc = {};
  ASN1_TIME_to_tm(time, &utc);
  const time_t seconds = timegm(&utc);
  struct tm local = {};
  localtime_r(&seconds, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &local);
  return text;
}

void BM_OpensslEveryField(benchmark::State& state) {
  const auto& certificates = TheFixture().certificates;
  size_t characters = 0;
  for (auto _ : state) {
    characters = 0;
    for (const auto& der : certificates) {
      const unsigned char* cursor = der.data();
      X509* cert = d2i_X509(nullptr, &cursor, static_cast<long>(der.size()));
      BIGNUM* serial = ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert), nullptr);
      char* serial_hex = BN_bn2hex(serial);
      char common_name[100] = {};
      X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, common_name,
                                sizeof common_name);
      unsigned char digest[EVP_MAX_MD_SIZE];
      unsigned int digest_size = 0;
      X509_digest(cert, EVP_sha1(), digest, &digest_size);
      char finger[2 * EVP_MAX_MD_SIZE + 1];
      for (unsigned int i = 0; i < digest_size; ++i) {
        std::snprintf(finger + 2 * i, 3, "%02X", digest[i]);
      }
      characters += std::string(serial_hex).size() + std::string(common_name).size() +
                    NameText(X509_get_subject_name(cert)).size() +
                    NameText(X509_get_issuer_name(cert)).size() +
                    LocalCompact(X509_get0_notBefore(cert)).size() +
                    LocalCompact(X509_get0_notAfter(cert)).size() + std::string(finger).size();
      OPENSSL_free(serial_hex);
      BN_free(serial);
      X509_free(cert);
    }
    benchmark::DoNotOptimize(characters);
  }
  state.counters["characters"] = static_cast<double>(characters);
}

BENCHMARK(BM_GetIECertCount)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CountAndEveryIndexQuery)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpensslEveryField)->Unit(benchmark::kMillisecond);

}  // namespace
