// Signing with the selected signer beside OpenSSL doing the same work in the same run:
// - SignPkcs1 with a signer from "MY" (RSA-2048, SHA-1) against EVP_DigestSign with the same key;
// - SignPkcs7, detached, over 100 MiB against `openssl cms -sign -binary -noattr -md sha1` over the
//   same bytes in a file;
// - selecting a signer from a PFX file (against PKCS12_parse of that file), and taking the signer
//   another instance published.
#include <benchmark/benchmark.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <semaphore.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "frame/cert_component.h"

namespace {

constexpr size_t kLargeContentBytes = size_t{100} << 20;

// A throwaway profile with a 2048-bit key and its certificate in "MY", the same key
// and certificate in a PFX file and as PEM files, and 100 MiB of content.
struct SigningFixture {
  SigningFixture() {
    folder = std::filesystem::temp_directory_path() /
             ("kelvadrome-signing-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder / "profile");
    if (const char* value = std::getenv("KELVADROME_PROFILE")) old_profile = value;
    setenv("KELVADROME_PROFILE", (folder / "profile").c_str(), 1);
    setenv("KELVADROME_DIALOGS", "none", 1);
    share_name = "kelvadrome-signing-bench-" + std::to_string(::getpid());
    setenv("KELVADROME_SHARE_NAME", share_name.c_str(), 1);

    key = EVP_RSA_gen(2048);
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 9);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400L);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Bench Signer"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(X509_get_issuer_name(cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Bench Issuer"), -1, -1, 0);
    X509_set_pubkey(cert, key);
    // Issued by another key: a self-signed certificate would count as a CA's and not be offered.
    EVP_PKEY* issuer_key = EVP_RSA_gen(2048);
    X509_sign(cert, issuer_key, EVP_sha256());
    EVP_PKEY_free(issuer_key);
    PKCS12* p12 = PKCS12_create("bench", "Bench Signer", key, cert, nullptr, 0, 0, 0, 0, 0);
    unsigned char* der = nullptr;
    const int length = i2d_PKCS12(p12, &der);
    pfx.assign(der, der + length);
    std::ofstream(folder / "bench.pfx", std::ios::binary)
        .write(reinterpret_cast<const char*>(der), length);
    OPENSSL_free(der);
    PKCS12_free(p12);
    FILE* pem = std::fopen((folder / "signer.pem").c_str(), "w");
    PEM_write_X509(pem, cert);
    std::fclose(pem);
    pem = std::fopen((folder / "signer.key").c_str(), "w");
    PEM_write_PrivateKey(pem, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(pem);
    X509_free(cert);

    // The content as text, and the same bytes (UTF-16LE) in a file for the openssl command.
    content.assign(kLargeContentBytes / 2, u'\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char16_t>(0x20 + i % 90);
    std::ofstream(folder / "content.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()),
               static_cast<std::streamsize>(2 * content.size()));

    kelvadrome::CertComponent importer;
    const std::string narrow = folder.string();
    folder_text.assign(narrow.begin(), narrow.end());
    imported = importer.ImportPfxToIE(folder_text, u"bench.pfx", u"bench", 1, 0) == 0;
  }
  ~SigningFixture() {
    EVP_PKEY_free(key);
    std::filesystem::remove_all(folder);
    const std::string uid = "." + std::to_string(::getuid());
    for (const std::string& event :
         {share_name, std::string("signerMedia"), std::string("signerCertBytes"),
          std::string("signerCertHash"), std::string("signerCertPasswd"),
          std::string("signerCertFilePath"), std::string("signerCertFileName")}) {
      sem_unlink(("/" + event + "_Event" + uid).c_str());
    }
    if (old_profile.empty()) {
      unsetenv("KELVADROME_PROFILE");
    } else {
      setenv("KELVADROME_PROFILE", old_profile.c_str(), 1);
    }
  }
  std::filesystem::path folder;
  std::u16string folder_text;
  std::string old_profile;
  std::string share_name;
  EVP_PKEY* key = nullptr;
  std::vector<uint8_t> pfx;
  std::u16string content;
  bool imported = false;
};

SigningFixture& Fixture() {
  static SigningFixture fixture;
  return fixture;
}

void BM_SignPkcs1StoreSigner(benchmark::State& state) {
  auto& fixture = Fixture();
  kelvadrome::CertComponent component;
  if (!fixture.imported || component.SelectSigner(u"S_CN=Bench Signer", 0x108, 0) != 0) {
    state.SkipWithError("no signer");
    return;
  }
  for (auto _ : state) {
    const std::u16string signature = component.SignPkcs1(u"A document to sign", 0);
    if (signature.empty()) state.SkipWithError("SignPkcs1 failed");
  }
}

// One RSA signature of |text|'s UTF-16LE bytes with SHA-1, as SignPkcs1 makes it.
bool OpensslSignSha1(EVP_PKEY* key, const std::u16string& text,
                     std::vector<unsigned char>& signature) {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  size_t length = signature.size();
  const bool signed_ok =
      EVP_DigestSignInit(context, nullptr, EVP_sha1(), nullptr, key) == 1 &&
      EVP_DigestSign(context, signature.data(), &length,
                     reinterpret_cast<const unsigned char*>(text.data()), 2 * text.size()) == 1;
  EVP_MD_CTX_free(context);
  return signed_ok;
}

void BM_OpensslRsa2048SignSha1(benchmark::State& state) {
  auto& fixture = Fixture();
  const std::u16string text = u"A document to sign";
  std::vector<unsigned char> signature(256);
  for (auto _ : state) {
    if (!OpensslSignSha1(fixture.key, text, signature))
      state.SkipWithError("EVP_DigestSign failed");
  }
}

// The two above in one loop, one call of each per iteration, so that both meet the same machine
// (the speed of a shared machine drifts between benchmarks). The iteration time is ours; the
// counters give both means and OpenSSL's calls per second over ours.
void BM_SignPkcs1AgainstOpensslInterleaved(benchmark::State& state) {
  auto& fixture = Fixture();
  kelvadrome::CertComponent component;
  if (!fixture.imported || component.SelectSigner(u"S_CN=Bench Signer", 0x108, 0) != 0) {
    state.SkipWithError("no signer");
    return;
  }
  const std::u16string text = u"A document to sign";
  std::vector<unsigned char> signature(256);
  std::chrono::duration<double> ours{0};
  std::chrono::duration<double> openssl{0};
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (component.SignPkcs1(text, 0).empty()) state.SkipWithError("SignPkcs1 failed");
    const auto middle = std::chrono::steady_clock::now();
    if (!OpensslSignSha1(fixture.key, text, signature))
      state.SkipWithError("EVP_DigestSign failed");
    const auto end = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(middle - start).count());
    ours += middle - start;
    openssl += end - middle;
  }
  const double calls = static_cast<double>(state.iterations());
  state.counters["ours_us"] = ours.count() / calls * 1e6;
  state.counters["openssl_us"] = openssl.count() / calls * 1e6;
  state.counters["calls_ratio"] = openssl.count() / ours.count();
}

void BM_SignPkcs7Detached100MiB(benchmark::State& state) {
  auto& fixture = Fixture();
  kelvadrome::CertComponent component;
  if (!fixture.imported || component.SelectSigner(u"S_CN=Bench Signer", 0x108, 0) != 0) {
    state.SkipWithError("no signer");
    return;
  }
  for (auto _ : state) {
    const std::u16string message = component.SignPkcs7(fixture.content, 0x0400);
    if (message.empty()) state.SkipWithError("SignPkcs7 failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kLargeContentBytes));
}

void BM_OpensslCmsSignDetached100MiB(benchmark::State& state) {
  auto& fixture = Fixture();
  const std::string command = "openssl cms -sign -binary -noattr -md sha1 -in '" +
                              (fixture.folder / "content.bin").string() + "' -signer '" +
                              (fixture.folder / "signer.pem").string() + "' -inkey '" +
                              (fixture.folder / "signer.key").string() +
                              "' -outform DER -out /dev/null";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("openssl cms -sign failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kLargeContentBytes));
}

void BM_SelectSignerExFromPfx(benchmark::State& state) {
  auto& fixture = Fixture();
  kelvadrome::CertComponent component;
  for (auto _ : state) {
    const int32_t code =
        component.SelectSignerEx(u"", fixture.folder_text, u"bench.pfx", u"bench", u"", 0x200, 0);
    if (code != 0) {
      state.SkipWithError(("SelectSignerEx failed: " + std::to_string(code)).c_str());
    }
  }
}

void BM_OpensslPkcs12ParseSameFile(benchmark::State& state) {
  auto& fixture = Fixture();
  for (auto _ : state) {
    const unsigned char* cursor = fixture.pfx.data();
    PKCS12* p12 = d2i_PKCS12(nullptr, &cursor, static_cast<long>(fixture.pfx.size()));
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    if (PKCS12_parse(p12, "bench", &key, &cert, nullptr) != 1) state.SkipWithError("parse");
    EVP_PKEY_free(key);
    X509_free(cert);
    PKCS12_free(p12);
  }
}

void BM_SelectSignerEx2TakesThePublishedSigner(benchmark::State& state) {
  auto& fixture = Fixture();
  kelvadrome::CertComponent publisher;
  if (!fixture.imported ||
      publisher.SelectSignerEx2(u"S_CN=Bench Signer", u"", u"", 0, u"", 0x108, 0) != 0) {
    state.SkipWithError("nothing published");
    return;
  }
  kelvadrome::CertComponent taker;
  for (auto _ : state) {
    if (taker.SelectSignerEx2(u"", u"", u"", 1, u"", 0x108, 0) != 0 ||
        taker.selected_signer().der.empty()) {
      state.SkipWithError("SelectSignerEx2 took nothing");
    }
  }
}

BENCHMARK(BM_SignPkcs1StoreSigner)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpensslRsa2048SignSha1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SignPkcs1AgainstOpensslInterleaved)->Unit(benchmark::kMicrosecond)->UseManualTime();
BENCHMARK(BM_SignPkcs7Detached100MiB)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_OpensslCmsSignDetached100MiB)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->UseRealTime();
BENCHMARK(BM_SelectSignerExFromPfx)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpensslPkcs12ParseSameFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SelectSignerEx2TakesThePublishedSigner)->Unit(benchmark::kMicrosecond);

}  // namespace
