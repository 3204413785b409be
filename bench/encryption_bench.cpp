// The encryption workers on 1 MiB of content beside OpenSSL doing the same work in-process:
//  - SymEncrypt / SymDecrypt (three-key triple DES, UTF-16 text, Base64 ciphertext) beside EVP
//    DES-EDE3-CBC with EVP_EncodeBlock / EVP_DecodeBlock; and the bare cipher (PlatformCipher)
//    beside the bare EVP cipher, for triple DES and DES;
//  - CertEncryptPkcs7 / CertDecryptPkcs7 (triple DES, one RSA-2048 recipient whose key is in "MY")
//    beside CMS_encrypt / CMS_decrypt writing and reading DER.
#include <benchmark/benchmark.h>

#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "codec/byte_buffer.h"
#include "codec/des.h"
#include "frame/cert_component.h"
#include "ops/encryption_cipher.h"

namespace {

constexpr size_t kContentBytes = size_t{1} << 20;
constexpr char16_t kKey24[] = u"0123456789ABCDEFFEDCBA987654321089ABCDEF01234567";
constexpr uint8_t kKeyBytes[24] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                                   0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10,
                                   0x89, 0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67};

// 512 Ki UTF-16 characters: 1 MiB of plaintext bytes without the code-page flag.
std::u16string Text() {
  std::u16string text(kContentBytes / 2, u'a');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char16_t>(u'A' + i % 50);
  return text;
}

std::vector<uint8_t> Bytes() {
  std::vector<uint8_t> bytes(kContentBytes);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
  return bytes;
}

// A throwaway profile with a certificate and its key in "MY", and the same pair for OpenSSL.
struct EnvelopeFixture {
  EnvelopeFixture() {
    folder = std::filesystem::temp_directory_path() /
             ("kelvadrome-encryption-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder / "profile");
    if (const char* value = std::getenv("KELVADROME_PROFILE")) old_profile = value;
    setenv("KELVADROME_PROFILE", (folder / "profile").c_str(), 1);
    key = EVP_RSA_gen(2048);
    certificate = X509_new();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 9);
    X509_gmtime_adj(X509_getm_notBefore(certificate), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 86400L);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Bench Recipient"), -1, -1,
                               0);
    X509_set_issuer_name(certificate, X509_get_subject_name(certificate));
    X509_set_pubkey(certificate, key);
    X509_sign(certificate, key, EVP_sha256());
    unsigned char* der = nullptr;
    const int length = i2d_X509(certificate, &der);
    kelvadrome::ByteBuffer base64;
    base64.Base64Encode(der, length);
    certificate_base64.assign(base64.c_str(), base64.c_str() + base64.length());
    OPENSSL_free(der);

    PKCS12* p12 =
        PKCS12_create("bench", "Bench Recipient", key, certificate, nullptr, 0, 0, 0, 0, 0);
    unsigned char* pfx = nullptr;
    const int pfx_length = i2d_PKCS12(p12, &pfx);
    std::ofstream(folder / "bench.pfx", std::ios::binary)
        .write(reinterpret_cast<const char*>(pfx), pfx_length);
    OPENSSL_free(pfx);
    PKCS12_free(p12);
    const std::string narrow = folder.string();
    component = std::make_unique<kelvadrome::CertComponent>();
    imported = component->ImportPfxToIE(std::u16string(narrow.begin(), narrow.end()), u"bench.pfx",
                                        u"bench", 0, 0) == 0;
  }
  ~EnvelopeFixture() {
    component.reset();
    X509_free(certificate);
    EVP_PKEY_free(key);
    std::filesystem::remove_all(folder);
    if (old_profile.empty()) {
      unsetenv("KELVADROME_PROFILE");
    } else {
      setenv("KELVADROME_PROFILE", old_profile.c_str(), 1);
    }
  }
  std::filesystem::path folder;
  std::string old_profile;
  EVP_PKEY* key = nullptr;
  X509* certificate = nullptr;
  std::u16string certificate_base64;
  std::unique_ptr<kelvadrome::CertComponent> component;
  bool imported = false;
};

EnvelopeFixture& Envelopes() {
  static EnvelopeFixture fixture;
  return fixture;
}

// EVP in the process's default context, with the legacy provider for DES.
const EVP_CIPHER* EvpCipher(bool triple) {
  static OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
  static OSSL_PROVIDER* fallback = OSSL_PROVIDER_load(nullptr, "default");
  static EVP_CIPHER* des = EVP_CIPHER_fetch(nullptr, "DES-CBC", nullptr);
  static EVP_CIPHER* des3 = EVP_CIPHER_fetch(nullptr, "DES-EDE3-CBC", nullptr);
  (void)legacy;
  (void)fallback;
  return triple ? des3 : des;
}

// EvpRun encrypts or decrypts |in| into |out| (resized to fit); false on failure.
bool EvpRun(const EVP_CIPHER* cipher, bool encrypt, const std::vector<uint8_t>& in,
            std::vector<uint8_t>& out) {
  static const uint8_t kIv[8] = {};
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  out.resize(in.size() + 8);
  int produced = 0;
  int last = 0;
  const bool ok =
      EVP_CipherInit_ex2(context, cipher, kKeyBytes, kIv, encrypt ? 1 : 0, nullptr) == 1 &&
      EVP_CipherUpdate(context, out.data(), &produced, in.data(), static_cast<int>(in.size())) ==
          1 &&
      EVP_CipherFinal_ex(context, out.data() + produced, &last) == 1;
  EVP_CIPHER_CTX_free(context);
  out.resize(static_cast<size_t>(produced + last));
  return ok;
}

void BM_SymEncrypt(benchmark::State& state) {
  kelvadrome::CertComponent& component = *Envelopes().component;
  const std::u16string text = Text();
  for (auto _ : state) {
    benchmark::DoNotOptimize(component.SymEncrypt(text, kKey24, 0, 0));
    if (component.GetErrorCode() != 0) state.SkipWithError("SymEncrypt failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kContentBytes));
}
BENCHMARK(BM_SymEncrypt)->Unit(benchmark::kMillisecond);

void BM_EvpEncryptWithBase64(benchmark::State& state) {
  const std::vector<uint8_t> in = Bytes();
  std::vector<uint8_t> out;
  std::vector<uint8_t> text;
  for (auto _ : state) {
    if (!EvpRun(EvpCipher(true), true, in, out)) state.SkipWithError("EVP failed");
    text.resize(4 * ((out.size() + 2) / 3) + 1);
    EVP_EncodeBlock(text.data(), out.data(), static_cast<int>(out.size()));
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kContentBytes));
}
BENCHMARK(BM_EvpEncryptWithBase64)->Unit(benchmark::kMillisecond);

void BM_SymDecrypt(benchmark::State& state) {
  kelvadrome::CertComponent& component = *Envelopes().component;
  const std::u16string ciphertext = component.SymEncrypt(Text(), kKey24, 0, 0);
  for (auto _ : state) {
    benchmark::DoNotOptimize(component.SymDecrypt(ciphertext, kKey24, 0, 0));
    if (component.GetErrorCode() != 0) state.SkipWithError("SymDecrypt failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kContentBytes));
}
BENCHMARK(BM_SymDecrypt)->Unit(benchmark::kMillisecond);

void BM_EvpDecryptWithBase64(benchmark::State& state) {
  std::vector<uint8_t> ciphertext;
  EvpRun(EvpCipher(true), true, Bytes(), ciphertext);
  std::vector<uint8_t> text(4 * ((ciphertext.size() + 2) / 3) + 1);
  const int text_length =
      EVP_EncodeBlock(text.data(), ciphertext.data(), static_cast<int>(ciphertext.size()));
  std::vector<uint8_t> decoded(ciphertext.size() + 3);
  std::vector<uint8_t> out;
  for (auto _ : state) {
    // EVP_DecodeBlock keeps the zero bytes of padding; the ciphertext length is known.
    const int length = EVP_DecodeBlock(decoded.data(), text.data(), text_length);
    if (length < static_cast<int>(ciphertext.size())) state.SkipWithError("Base64 failed");
    const std::vector<uint8_t> in(decoded.begin(), decoded.begin() + ciphertext.size());
    if (!EvpRun(EvpCipher(true), false, in, out)) state.SkipWithError("EVP failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kContentBytes));
}
BENCHMARK(BM_EvpDecryptWithBase64)->Unit(benchmark::kMillisecond);

// The bare ciphers: Arg(1) triple DES, Arg(0) DES.
void BM_PlatformCipher(benchmark::State& state, bool encrypt) {
  const bool triple = state.range(0) == 1;
  const std::vector<uint8_t> in = Bytes();
  kelvadrome::PlatformCipher cipher;
  cipher.SetAlgorithm(triple ? kelvadrome::kCalg3Des : kelvadrome::kCalgDes);
  cipher.SetKey(kKeyBytes, triple ? 24 : 8);
  std::vector<uint8_t> ciphertext;
  if (!encrypt) {
    cipher.EncryptAll(in.data(), static_cast<int32_t>(in.size()));
    ciphertext.assign(cipher.output().data(), cipher.output().data() + cipher.output().length());
  }
  for (auto _ : state) {
    const bool ok =
        encrypt ? cipher.EncryptAll(in.data(), static_cast<int32_t>(in.size()))
                : cipher.DecryptAll(ciphertext.data(), static_cast<int32_t>(ciphertext.size()));
    if (!ok) state.SkipWithError("PlatformCipher failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kContentBytes));
}
BENCHMARK_CAPTURE(BM_PlatformCipher, Encrypt, true)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PlatformCipher, Decrypt, false)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

void BM_EvpCipher(benchmark::State& state, bool encrypt) {
  const EVP_CIPHER* cipher = EvpCipher(state.range(0) == 1);
  std::vector<uint8_t> in = Bytes();
  std::vector<uint8_t> out;
  if (!encrypt) {
    EvpRun(cipher, true, Bytes(), in);
  }
  for (auto _ : state) {
    if (!EvpRun(cipher, encrypt, in, out)) state.SkipWithError("EVP failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kContentBytes));
}
BENCHMARK_CAPTURE(BM_EvpCipher, Encrypt, true)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_EvpCipher, Decrypt, false)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

void BM_CertEncryptPkcs7(benchmark::State& state) {
  EnvelopeFixture& fixture = Envelopes();
  const std::u16string text = Text();
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        fixture.component->CertEncryptPkcs7(text, fixture.certificate_base64, 0, 0));
    if (fixture.component->GetErrorCode() != 0) state.SkipWithError("CertEncryptPkcs7 failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kContentBytes));
}
BENCHMARK(BM_CertEncryptPkcs7)->Unit(benchmark::kMillisecond);

// CmsEnvelope returns the DER of CMS_encrypt's envelope of |content|; empty on failure.
std::vector<uint8_t> CmsEnvelope(X509* certificate, const std::vector<uint8_t>& content) {
  STACK_OF(X509)* recipients = sk_X509_new_null();
  sk_X509_push(recipients, certificate);
  BIO* in = BIO_new_mem_buf(content.data(), static_cast<int>(content.size()));
  CMS_ContentInfo* cms = CMS_encrypt(recipients, in, EVP_des_ede3_cbc(), CMS_BINARY);
  unsigned char* der = nullptr;
  const int length = cms != nullptr ? i2d_CMS_ContentInfo(cms, &der) : 0;
  std::vector<uint8_t> bytes;
  if (length > 0) bytes.assign(der, der + length);
  OPENSSL_free(der);
  CMS_ContentInfo_free(cms);
  BIO_free(in);
  sk_X509_free(recipients);
  return bytes;
}

void BM_CmsEncrypt(benchmark::State& state) {
  EnvelopeFixture& fixture = Envelopes();
  const std::vector<uint8_t> content = Bytes();
  for (auto _ : state) {
    if (CmsEnvelope(fixture.certificate, content).empty()) state.SkipWithError("CMS failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kContentBytes));
}
BENCHMARK(BM_CmsEncrypt)->Unit(benchmark::kMillisecond);

void BM_CertDecryptPkcs7(benchmark::State& state) {
  EnvelopeFixture& fixture = Envelopes();
  if (!fixture.imported) state.SkipWithError("the key could not be imported into MY");
  const std::u16string message =
      fixture.component->CertEncryptPkcs7(Text(), fixture.certificate_base64, 0, 0);
  for (auto _ : state) {
    benchmark::DoNotOptimize(fixture.component->CertDecryptPkcs7(message, 0));
    if (fixture.component->GetErrorCode() != 0) state.SkipWithError("CertDecryptPkcs7 failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kContentBytes));
}
BENCHMARK(BM_CertDecryptPkcs7)->Unit(benchmark::kMillisecond);

void BM_CmsDecrypt(benchmark::State& state) {
  EnvelopeFixture& fixture = Envelopes();
  const std::vector<uint8_t> der = CmsEnvelope(fixture.certificate, Bytes());
  for (auto _ : state) {
    const unsigned char* cursor = der.data();
    CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(der.size()));
    BIO* out = BIO_new(BIO_s_mem());
    if (cms == nullptr ||
        CMS_decrypt(cms, fixture.key, fixture.certificate, nullptr, out, CMS_BINARY) != 1) {
      state.SkipWithError("CMS_decrypt failed");
    }
    BIO_free(out);
    CMS_ContentInfo_free(cms);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kContentBytes));
}
BENCHMARK(BM_CmsDecrypt)->Unit(benchmark::kMillisecond);

}  // namespace
