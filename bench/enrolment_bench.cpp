// Enrolment: a 2048-bit key with its PKCS #10 request (CreatePKCS10) beside the openssl command
// and OpenSSL in-process doing the same; acceptance of an issued certificate (AcceptPKCS7) in a
// profile holding 1,000 pending records, beside one holding a single record, so the cost of the
// record walk shows (KELVADROME_BENCH_RECORDS changes the count).
#include <benchmark/benchmark.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "codec/byte_buffer.h"
#include "frame/cert_component.h"
#include "ops/requests.h"
#include "platform/key_container.h"
#include "platform/registry.h"

namespace {

using kelvadrome::CertComponent;

// Points the component at |folder| for the life of the object, then restores the earlier profile
// (other benchmarks of this binary keep theirs in the environment).
class ProfileSwitch {
 public:
  explicit ProfileSwitch(const std::filesystem::path& folder) {
    if (const char* old = std::getenv("KELVADROME_PROFILE")) old_ = old;
    setenv("KELVADROME_PROFILE", folder.c_str(), 1);
    setenv("KELVADROME_DIALOGS", "none", 1);
  }
  ~ProfileSwitch() {
    if (old_.empty()) {
      unsetenv("KELVADROME_PROFILE");
    } else {
      setenv("KELVADROME_PROFILE", old_.c_str(), 1);
    }
  }

 private:
  std::string old_;
};

std::filesystem::path BenchFolder(const std::string& name) {
  return std::filesystem::temp_directory_path() /
         ("kelvadrome-enrolment-bench-" + name + "-" + std::to_string(::getpid()));
}

void BM_CreatePKCS10_2048(benchmark::State& state) {
  const auto folder = BenchFolder("request");
  {
    ProfileSwitch profile(folder);
    CertComponent component;
    for (auto _ : state) {
      auto request = component.CreatePKCS10(u"Bench Holder", 2048, 1);
      if (request.empty()) state.SkipWithError("CreatePKCS10 failed");
    }
  }
  std::filesystem::remove_all(folder);
}

void BM_OpensslReqNewkey2048(benchmark::State& state) {
  for (auto _ : state) {
    if (std::system("openssl req -new -newkey rsa:2048 -nodes -keyout /dev/null -subj "
                    "'/CN=Bench Holder' -out /dev/null 2>/dev/null") != 0) {
      state.SkipWithError("openssl req failed");
    }
  }
}

void BM_OpensslInProcessRequest2048(benchmark::State& state) {
  for (auto _ : state) {
    EVP_PKEY* key = EVP_RSA_gen(2048);
    X509_REQ* request = X509_REQ_new();
    X509_NAME* name = X509_REQ_get_subject_name(request);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Bench Holder"), -1, -1, 0);
    X509_REQ_set_pubkey(request, key);
    X509_REQ_sign(request, key, EVP_sha1());
    unsigned char* der = nullptr;
    benchmark::DoNotOptimize(i2d_X509_REQ(request, &der));
    OPENSSL_free(der);
    X509_REQ_free(request);
    EVP_PKEY_free(key);
  }
}

// A profile with |records| pending records, of which only the last in the walk's order belongs to
// the issued certificate, and the bundle (root and issued certificate) to accept.
struct AcceptFixture {
  explicit AcceptFixture(int records) : folder(BenchFolder("accept-" + std::to_string(records))) {
    ProfileSwitch profile(folder);
    auto registry = kelvadrome::Registry::Open(kelvadrome::Registry::Root::kCurrentUser);
    for (int i = 0; i + 1 < records; ++i) {
      std::vector<uint8_t> blob(8 + 12 + 256);
      RAND_bytes(blob.data(), static_cast<int>(blob.size()));
      kelvadrome::WritePendingRequestRecord(*registry, kelvadrome::RequestContainerName(),
                                            {"Microsoft Enhanced Cryptographic Provider v1.0", 1, 1,
                                             blob, "2026/12/08 10:00:00", "Someone Else"});
    }
    // The real key sorts after every random name.
    const std::string name = "FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF";
    auto containers = kelvadrome::KeyContainerStore::OpenUser();
    auto container = containers->Create(name, "Microsoft Enhanced Cryptographic Provider v1.0", 1);
    container->GenerateKey(1, 2048, 1);
    kelvadrome::WritePendingRequestRecord(
        *registry, name,
        {"Microsoft Enhanced Cryptographic Provider v1.0", 1, 1, *container->ExportPublicKeyBlob(1),
         "2026/12/08 10:00:00", "Bench Holder"});

    // The issued certificate: the container's public key, signed by a root made here.
    const auto info = *container->ExportPublicKeyInfo(1);
    const unsigned char* cursor = info.data();
    EVP_PKEY* subject_key = d2i_PUBKEY(nullptr, &cursor, static_cast<long>(info.size()));
    EVP_PKEY* root_key = EVP_RSA_gen(2048);
    X509* root = MakeCertificate("Bench Root", "Bench Root", root_key, root_key, 1);
    X509* issued = MakeCertificate("Bench Holder", "Bench Root", subject_key, root_key, 2);
    PKCS7* bundle = PKCS7_new();
    PKCS7_set_type(bundle, NID_pkcs7_signed);
    PKCS7_content_new(bundle, NID_pkcs7_data);
    PKCS7_add_certificate(bundle, root);
    PKCS7_add_certificate(bundle, issued);
    unsigned char* der = nullptr;
    const int length = i2d_PKCS7(bundle, &der);
    kelvadrome::ByteBuffer text;
    text.Base64Encode(der, length);
    response = std::u16string(text.c_str(), text.c_str() + text.length());
    bundle_der.assign(der, der + length);
    OPENSSL_free(der);
    PKCS7_free(bundle);
    X509_free(root);
    X509_free(issued);
    EVP_PKEY_free(root_key);
    EVP_PKEY_free(subject_key);
  }
  ~AcceptFixture() { std::filesystem::remove_all(folder); }

  static X509* MakeCertificate(const char* subject, const char* issuer, EVP_PKEY* key,
                               EVP_PKEY* signer, long serial) {
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400L);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(subject), -1, -1, 0);
    X509_NAME_add_entry_by_txt(X509_get_issuer_name(cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(issuer), -1, -1, 0);
    X509_set_pubkey(cert, key);
    X509_sign(cert, signer, EVP_sha256());
    return cert;
  }

  std::filesystem::path folder;
  std::u16string response;
  std::vector<uint8_t> bundle_der;
};

int RecordCount() {
  const char* text = std::getenv("KELVADROME_BENCH_RECORDS");
  return text != nullptr ? std::atoi(text) : 1000;
}

void RunAccept(benchmark::State& state, int records) {
  AcceptFixture fixture(records);
  ProfileSwitch profile(fixture.folder);
  CertComponent component;
  for (auto _ : state) {
    if (component.AcceptPKCS7(fixture.response) != 0) state.SkipWithError("AcceptPKCS7 failed");
  }
  state.counters["records"] = records;
}

void BM_AcceptPKCS7_ManyRecords(benchmark::State& state) {
  RunAccept(state, RecordCount());
}

void BM_AcceptPKCS7_OneRecord(benchmark::State& state) {
  RunAccept(state, 1);
}

BENCHMARK(BM_CreatePKCS10_2048)->Unit(benchmark::kMillisecond)->Iterations(40);
BENCHMARK(BM_OpensslReqNewkey2048)->Unit(benchmark::kMillisecond)->Iterations(40);
BENCHMARK(BM_OpensslInProcessRequest2048)->Unit(benchmark::kMillisecond)->Iterations(40);
BENCHMARK(BM_AcceptPKCS7_ManyRecords)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AcceptPKCS7_OneRecord)->Unit(benchmark::kMillisecond);

}  // namespace
