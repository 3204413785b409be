// Certificate filtering over a personal store of 10,000 certificates (KELVADROME_BENCH_STORE_SIZE
// to change): the store form of FilterCertificates with the validity check and the per-condition
// matching mode, collecting every match (choice mode 0) or only the newest (choice mode 2), with a
// filter that matches a few certificates and one that matches them all. Beside it, OpenSSL doing
// comparable work on the same DER held in memory: parse each certificate, print its subject,
// look for a substring. And SelectSigner over the same store, in a running process and as the
// first call of a fresh one.
#include <benchmark/benchmark.h>

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "codec/certificate_filter.h"
#include "frame/cert_component.h"
#include "load_probe_runner.h"
#include "platform/cert_store.h"

namespace {

// Points the component at |folder| for the life of the object, then restores the earlier profile
// (other benchmarks of this binary keep theirs in the environment).
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

// An end-entity certificate "C=TW, O=Example, OU=Unit <n % 50>, CN=Bench holder <n>" issued by a
// CA name, for signatures, valid for a year from a start that differs for each certificate.
std::vector<uint8_t> MakeCertificate(EVP_PKEY* key, int serial) {
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert), -86400L * 30 - serial * 60L);
  X509_gmtime_adj(X509_getm_notAfter(cert), 86400L * 335 + serial * 60L);
  X509_NAME* subject = X509_get_subject_name(cert);
  AddEntry(subject, "C", "TW");
  AddEntry(subject, "O", "Example");
  AddEntry(subject, "OU", "Unit " + std::to_string(serial % 50));
  AddEntry(subject, "CN", "Bench holder " + std::to_string(serial));
  X509_NAME* issuer = X509_get_issuer_name(cert);
  AddEntry(issuer, "O", "Example");
  AddEntry(issuer, "CN", "Bench issuing CA");
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* usage =
      X509V3_EXT_conf_nid(nullptr, &context, NID_key_usage, "critical,digitalSignature");
  X509_add_ext(cert, usage, -1);
  X509_EXTENSION_free(usage);
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
             ("kelvadrome-filter-bench-" + std::to_string(::getpid()));
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

// "Bench holder 777" is in the common names 777 and 7770 to 7779 (11 of 10,000); "Exam" is in
// every organisation.
constexpr const char* kFewFilter = "S_CN=Bench holder 777";
constexpr const char* kManyFilter = "S_O=Exam%";
constexpr const char* kFewText = "Bench holder 777";
constexpr const char* kManyText = "O=Exam";

void BM_FilterCertificates(benchmark::State& state, const char* filter, uint32_t choice_mode) {
  auto& fixture = TheFixture();
  ProfileFolder profile(fixture.folder);
  auto store = kelvadrome::CertStore::OpenSystem("MY");
  const uint32_t flags = choice_mode | kelvadrome::filter_flag::kCheckValidity |
                         kelvadrome::filter_flag::kMatchEveryCondition;
  size_t selected = 0;
  for (auto _ : state) {
    std::vector<kelvadrome::StoredCertificate> candidates;
    const auto result = kelvadrome::FilterCertificates(store.get(), kelvadrome::FilterForm::kStore,
                                                       filter, flags, 0x80, {}, candidates);
    if (result.code != 0) state.SkipWithError("nothing selected");
    selected = candidates.size();
  }
  state.counters["certificates"] = static_cast<double>(fixture.certificates.size());
  state.counters["selected"] = static_cast<double>(selected);
}

void BM_OpensslSubjectSubstring(benchmark::State& state, const char* text) {
  const auto& certificates = TheFixture().certificates;
  size_t selected = 0;
  for (auto _ : state) {
    std::vector<const std::vector<uint8_t>*> chosen;
    for (const auto& der : certificates) {
      const unsigned char* cursor = der.data();
      X509* cert = d2i_X509(nullptr, &cursor, static_cast<long>(der.size()));
      char subject[512];
      X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof subject);
      if (std::strstr(subject, text) != nullptr) chosen.push_back(&der);
      X509_free(cert);
    }
    selected = chosen.size();
    benchmark::DoNotOptimize(chosen.data());
  }
  state.counters["selected"] = static_cast<double>(selected);
}

// SelectSigner over the same store: the filter with the validity check and the per-condition mode,
// key usage digitalSignature, choice mode 2 (the newest of the few matches, no dialog).
constexpr int32_t kSelectFlags = 0x00E;

kelvadrome::ComponentEnvironment NoProtectedMode() {
  kelvadrome::ComponentEnvironment environment;
  environment.protected_mode_probe = [] { return false; };
  return environment;
}

// The same component selects again and again.
void BM_SelectSignerAmong10000(benchmark::State& state) {
  auto& fixture = TheFixture();
  ProfileFolder profile(fixture.folder);
  kelvadrome::CertComponent component(NoProtectedMode());
  for (auto _ : state) {
    if (component.SelectSigner(u"S_CN=Bench holder 777", kSelectFlags, 0x80) != 0) {
      state.SkipWithError("nothing selected");
    }
  }
}

// The first selection of a fresh process (the loader of bench/load_probe.c through the flat
// export): the iteration time is that call alone, measured inside the process.
void BM_SelectSignerFirstInFreshProcess(benchmark::State& state) {
  auto& fixture = TheFixture();
  ProfileFolder profile(fixture.folder);
  std::vector<double> process_ms;
  for (auto _ : state) {
    kelvadrome_bench::ProbeRun run;
    if (!kelvadrome_bench::RunLoadProbe(
            {KELVADROME_LIBRARY, "SelectSigner", kFewFilter, std::to_string(kSelectFlags), "0x80"},
            run)) {
      state.SkipWithError("the loader failed");
      return;
    }
    state.SetIterationTime(run.call_us / 1e6);
    process_ms.push_back(run.process_ms);
  }
  state.counters["process_median_ms"] = kelvadrome_bench::Median(process_ms);
}

BENCHMARK_CAPTURE(BM_FilterCertificates, few_all, kFewFilter, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FilterCertificates, few_best, kFewFilter, 2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FilterCertificates, many_all, kManyFilter, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FilterCertificates, many_best, kManyFilter, 2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OpensslSubjectSubstring, few, kFewText)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OpensslSubjectSubstring, many, kManyText)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SelectSignerAmong10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SelectSignerFirstInFreshProcess)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(10);

}  // namespace
