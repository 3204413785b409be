#include "platform/rsa_key.h"

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <string_view>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "platform/byte_reader.h"
#include "platform/crypto_context.h"
#include "platform/handles.h"
#include "platform/key_container.h"
#include "platform/last_error.h"
#include "platform/openssl_call.h"

namespace kelvadrome {

namespace {

constexpr uint8_t kPublicBlobType = 6;   // PUBLICKEYBLOB
constexpr uint8_t kPrivateBlobType = 7;  // PRIVATEKEYBLOB
constexpr uint8_t kBlobVersion = 2;
constexpr uint32_t kPublicMagic = 0x31415352;   // "RSA1"
constexpr uint32_t kPrivateMagic = 0x32415352;  // "RSA2"
constexpr size_t kBlobHeaderSize = 8 + 12;      // BLOBHEADER, RSAPUBKEY
constexpr uint32_t kMinImportBits = 512;
constexpr uint32_t kMaxImportBits = 16384;

// Fails with |code|. What OpenSSL queued is dropped by the scope of the public function.
std::nullopt_t Fail(uint32_t code) {
  SetLastPlatformError(code);
  return std::nullopt;
}

void PutLe32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

void WriteLe32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

UniqueEvpPkey ParsePrivateKey(std::span<const uint8_t> der) {
  const unsigned char* cursor = der.data();
  UniquePkcs8Info info(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &cursor, static_cast<long>(der.size())));
  if (info == nullptr || cursor != der.data() + der.size()) return nullptr;
  UniqueEvpPkey key(EVP_PKCS82PKEY_ex(info.get(), CryptoLibraryContext(), CryptoPropertyQuery()));
  if (key == nullptr || !EVP_PKEY_is_a(key.get(), "RSA")) return nullptr;
  return key;
}

UniqueEvpPkey ParsePublicKey(std::span<const uint8_t> der) {
  const unsigned char* cursor = der.data();
  UniqueEvpPkey key(d2i_PUBKEY_ex(nullptr, &cursor, static_cast<long>(der.size()),
                                  CryptoLibraryContext(), CryptoPropertyQuery()));
  if (key == nullptr || cursor != der.data() + der.size() || !EVP_PKEY_is_a(key.get(), "RSA")) {
    return nullptr;
  }
  return key;
}

// Describes |key| in the stored forms.
std::optional<RsaKeyMaterial> Material(EVP_PKEY* key) {
  RsaKeyMaterial material;
  UniquePkcs8Info info(EVP_PKEY2PKCS8(key));
  if (info == nullptr) return Fail(key_error::kFail);
  const int private_size = i2d_PKCS8_PRIV_KEY_INFO(info.get(), nullptr);
  if (private_size <= 0) return Fail(key_error::kFail);
  material.private_key = SecretBytes(static_cast<size_t>(private_size));
  unsigned char* out = material.private_key.data();
  if (i2d_PKCS8_PRIV_KEY_INFO(info.get(), &out) != private_size) return Fail(key_error::kFail);

  const int public_size = i2d_PUBKEY(key, nullptr);
  if (public_size <= 0) return Fail(key_error::kFail);
  material.public_key.resize(static_cast<size_t>(public_size));
  out = material.public_key.data();
  if (i2d_PUBKEY(key, &out) != public_size) return Fail(key_error::kFail);
  material.bits = static_cast<uint32_t>(EVP_PKEY_get_bits(key));
  return material;
}

UniqueBignum GetNumber(EVP_PKEY* key, const char* name) {
  BIGNUM* number = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &number) != 1) return nullptr;
  return UniqueBignum(number);
}

// Appends |number| little-endian in exactly |size| bytes; false when it does not fit.
bool AppendLe(const BIGNUM* number, size_t size, uint8_t* out) {
  return BN_bn2lebinpad(number, out, static_cast<int>(size)) == static_cast<int>(size);
}

UniqueEvpPkeyContext KeyContext(EVP_PKEY* key) {
  return UniqueEvpPkeyContext(
      EVP_PKEY_CTX_new_from_pkey(CryptoLibraryContext(), key, CryptoPropertyQuery()));
}

const char* DigestName(uint32_t algorithm, size_t* size) {
  switch (algorithm) {
    case key_algorithm::kMd5:
      *size = 16;
      return "MD5";
    case key_algorithm::kSha1:
      *size = 20;
      return "SHA1";
    case key_algorithm::kSha256:
      *size = 32;
      return "SHA256";
    case key_algorithm::kSha512:
      *size = 64;
      return "SHA512";
    default:
      return nullptr;
  }
}

}  // namespace

std::optional<RsaKeyMaterial> GenerateRsaKey(uint32_t bits) {
  const OpensslErrorScope scope;
  UniqueEvpPkeyContext context(
      EVP_PKEY_CTX_new_from_name(CryptoLibraryContext(), "RSA", CryptoPropertyQuery()));
  UniqueBignum exponent(BN_new());
  if (context == nullptr || exponent == nullptr || BN_set_word(exponent.get(), RSA_F4) != 1 ||
      EVP_PKEY_keygen_init(context.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(context.get(), static_cast<int>(bits)) <= 0 ||
      EVP_PKEY_CTX_set1_rsa_keygen_pubexp(context.get(), exponent.get()) <= 0) {
    return Fail(key_error::kFail);
  }
  EVP_PKEY* raw = nullptr;
  if (EVP_PKEY_generate(context.get(), &raw) <= 0) return Fail(key_error::kFail);
  UniqueEvpPkey key(raw);
  return Material(key.get());
}

std::optional<RsaKeyMaterial> RsaKeyFromPkcs8(std::span<const uint8_t> der) {
  const OpensslErrorScope scope;
  UniqueEvpPkey key = ParsePrivateKey(der);
  if (key == nullptr) return Fail(key_error::kBadData);
  return Material(key.get());
}

std::optional<RsaKeyMaterial> RsaKeyFromPrivateBlob(std::span<const uint8_t> blob,
                                                    uint32_t* algorithm) {
  const OpensslErrorScope scope;
  ByteReader reader(blob);
  uint8_t type = 0;
  uint8_t version = 0;
  uint16_t reserved = 0;
  uint32_t key_algorithm = 0;
  uint32_t magic = 0;
  uint32_t bits = 0;
  uint32_t public_exponent = 0;
  if (!reader.ReadU8(type) || !reader.ReadU8(version) || !reader.ReadU16(reserved) ||
      !reader.ReadU32(key_algorithm) || !reader.ReadU32(magic) || !reader.ReadU32(bits) ||
      !reader.ReadU32(public_exponent)) {
    return Fail(key_error::kBadData);
  }
  if (type != kPrivateBlobType) return Fail(key_error::kBadBlobType);
  if (version != kBlobVersion) return Fail(key_error::kBadVersion);
  if (key_algorithm != key_algorithm::kRsaExchange && key_algorithm != key_algorithm::kRsaSign) {
    return Fail(key_error::kBadAlgorithm);
  }
  if (magic != kPrivateMagic || bits < kMinImportBits || bits > kMaxImportBits || bits % 8 != 0 ||
      public_exponent == 0) {
    return Fail(key_error::kBadData);
  }
  const size_t full = bits / 8;
  const size_t half = (bits + 15) / 16;
  if (reader.remaining() != 2 * full + 5 * half) return Fail(key_error::kBadData);

  // Parts in blob order; the names are those OpenSSL gives the RSA parameters.
  struct Part {
    const char* name;
    size_t size;
  };
  const std::array<Part, 7> parts = {{{OSSL_PKEY_PARAM_RSA_N, full},
                                      {OSSL_PKEY_PARAM_RSA_FACTOR1, half},
                                      {OSSL_PKEY_PARAM_RSA_FACTOR2, half},
                                      {OSSL_PKEY_PARAM_RSA_EXPONENT1, half},
                                      {OSSL_PKEY_PARAM_RSA_EXPONENT2, half},
                                      {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, half},
                                      {OSSL_PKEY_PARAM_RSA_D, full}}};
  std::array<UniqueBignum, 7> numbers;
  UniqueParamBuild build(OSSL_PARAM_BLD_new());
  UniqueBignum exponent(BN_new());
  if (build == nullptr || exponent == nullptr ||
      BN_set_word(exponent.get(), public_exponent) != 1 ||
      OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, exponent.get()) != 1) {
    return Fail(key_error::kNoMemory);
  }
  for (size_t i = 0; i < parts.size(); ++i) {
    std::span<const uint8_t> bytes;
    if (!reader.ReadBytes(parts[i].size, bytes)) return Fail(key_error::kBadData);
    numbers[i].reset(BN_secure_new());
    if (numbers[i] == nullptr ||
        BN_lebin2bn(bytes.data(), static_cast<int>(bytes.size()), numbers[i].get()) == nullptr ||
        OSSL_PARAM_BLD_push_BN(build.get(), parts[i].name, numbers[i].get()) != 1) {
      return Fail(key_error::kNoMemory);
    }
  }
  // The modulus must have the length the header states.
  if (static_cast<uint32_t>(BN_num_bits(numbers[0].get())) != bits) {
    return Fail(key_error::kBadData);
  }
  UniqueSecretParams params(OSSL_PARAM_BLD_to_param(build.get()));
  UniqueEvpPkeyContext context(
      EVP_PKEY_CTX_new_from_name(CryptoLibraryContext(), "RSA", CryptoPropertyQuery()));
  if (params == nullptr || context == nullptr || EVP_PKEY_fromdata_init(context.get()) <= 0) {
    return Fail(key_error::kNoMemory);
  }
  EVP_PKEY* raw = nullptr;
  if (EVP_PKEY_fromdata(context.get(), &raw, EVP_PKEY_KEYPAIR, params.get()) <= 0) {
    return Fail(key_error::kBadData);
  }
  UniqueEvpPkey key(raw);
  // The parts must belong together (n = pq, d, the CRT values): a blob of mismatched numbers would
  // otherwise sign wrongly without a word.
  UniqueEvpPkeyContext check = KeyContext(key.get());
  if (check == nullptr || EVP_PKEY_pairwise_check(check.get()) != 1) {
    return Fail(key_error::kBadData);
  }
  auto material = Material(key.get());
  if (material) *algorithm = key_algorithm;
  return material;
}

std::optional<std::vector<uint8_t>> RsaPublicBlob(std::span<const uint8_t> public_key,
                                                  uint32_t algorithm) {
  const OpensslErrorScope scope;
  UniqueEvpPkey key = ParsePublicKey(public_key);
  if (key == nullptr) return Fail(key_error::kBadKey);
  UniqueBignum modulus = GetNumber(key.get(), OSSL_PKEY_PARAM_RSA_N);
  UniqueBignum exponent = GetNumber(key.get(), OSSL_PKEY_PARAM_RSA_E);
  if (modulus == nullptr || exponent == nullptr || BN_num_bits(exponent.get()) > 32) {
    return Fail(key_error::kBadKey);
  }
  const uint32_t bits = static_cast<uint32_t>(BN_num_bits(modulus.get()));
  const size_t full = (bits + 7) / 8;
  std::vector<uint8_t> blob = {kPublicBlobType, kBlobVersion, 0, 0};
  PutLe32(blob, algorithm);
  PutLe32(blob, kPublicMagic);
  PutLe32(blob, bits);
  PutLe32(blob, static_cast<uint32_t>(BN_get_word(exponent.get())));
  blob.resize(kBlobHeaderSize + full);
  if (!AppendLe(modulus.get(), full, blob.data() + kBlobHeaderSize))
    return Fail(key_error::kBadKey);
  return blob;
}

std::optional<uint32_t> RsaPublicKeyBits(std::span<const uint8_t> public_key) {
  const OpensslErrorScope scope;
  UniqueEvpPkey key = ParsePublicKey(public_key);
  if (key == nullptr) return Fail(key_error::kBadKey);
  return static_cast<uint32_t>(EVP_PKEY_get_bits(key.get()));
}

std::optional<SecretBytes> RsaPrivateBlob(std::span<const uint8_t> private_key,
                                          uint32_t algorithm) {
  const OpensslErrorScope scope;
  UniqueEvpPkey key = ParsePrivateKey(private_key);
  if (key == nullptr) return Fail(key_error::kBadKey);
  const char* const names[] = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_FACTOR1,
                               OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                               OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1,
                               OSSL_PKEY_PARAM_RSA_D};
  UniqueBignum exponent = GetNumber(key.get(), OSSL_PKEY_PARAM_RSA_E);
  UniqueBignum modulus = GetNumber(key.get(), OSSL_PKEY_PARAM_RSA_N);
  if (exponent == nullptr || modulus == nullptr || BN_num_bits(exponent.get()) > 32) {
    return Fail(key_error::kBadKey);
  }
  const uint32_t bits = static_cast<uint32_t>(BN_num_bits(modulus.get()));
  const size_t full = (bits + 7) / 8;
  const size_t half = (bits + 15) / 16;
  SecretBytes blob(kBlobHeaderSize + 2 * full + 5 * half);
  uint8_t* out = blob.data();
  out[0] = kPrivateBlobType;
  out[1] = kBlobVersion;
  out[2] = out[3] = 0;
  WriteLe32(out + 4, algorithm);
  WriteLe32(out + 8, kPrivateMagic);
  WriteLe32(out + 12, bits);
  WriteLe32(out + 16, static_cast<uint32_t>(BN_get_word(exponent.get())));
  out += kBlobHeaderSize;
  for (size_t i = 0; i < std::size(names); ++i) {
    const size_t size = (i == 0 || i == std::size(names) - 1) ? full : half;
    UniqueBignum number = GetNumber(key.get(), names[i]);
    // A key whose primes differ much in length has no blob form.
    if (number == nullptr || !AppendLe(number.get(), size, out)) return Fail(key_error::kBadKey);
    out += size;
  }
  return blob;
}

std::optional<std::vector<uint8_t>> DigestInfoFor(uint32_t algorithm,
                                                  std::span<const uint8_t> hash) {
  // DigestInfo ::= SEQUENCE { AlgorithmIdentifier { OID, NULL }, OCTET STRING hash }: everything
  // before the hash value is fixed for each algorithm.
  static constexpr uint8_t kMd5[] = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                     0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
  static constexpr uint8_t kSha1[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                      0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
  static constexpr uint8_t kSha256[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                        0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
  static constexpr uint8_t kSha512[] = {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                        0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40};
  size_t hash_size = 0;
  if (DigestName(algorithm, &hash_size) == nullptr) return Fail(key_error::kBadAlgorithm);
  if (hash.size() != hash_size) return Fail(key_error::kBadHash);
  std::span<const uint8_t> prefix;
  switch (algorithm) {
    case key_algorithm::kMd5:
      prefix = kMd5;
      break;
    case key_algorithm::kSha1:
      prefix = kSha1;
      break;
    case key_algorithm::kSha256:
      prefix = kSha256;
      break;
    default:
      prefix = kSha512;
      break;
  }
  std::vector<uint8_t> info(prefix.begin(), prefix.end());
  info.insert(info.end(), hash.begin(), hash.end());
  return info;
}

UniqueEvpPkey ParseRsaPrivateKey(std::span<const uint8_t> private_key) {
  const OpensslErrorScope scope;
  UniqueEvpPkey key = ParsePrivateKey(private_key);
  if (key == nullptr) Fail(key_error::kBadKey);
  return key;
}

std::optional<std::vector<uint8_t>> RsaSignHash(EVP_PKEY* key, uint32_t algorithm,
                                                std::span<const uint8_t> hash) {
  const OpensslErrorScope scope;
  size_t hash_size = 0;
  const char* digest = DigestName(algorithm, &hash_size);
  if (digest == nullptr) return Fail(key_error::kBadAlgorithm);
  if (hash.size() != hash_size) return Fail(key_error::kBadHash);
  UniqueEvpPkeyContext context = KeyContext(key);
  // Naming the digest makes the signer wrap the value in its DigestInfo before padding.
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_SIGNATURE_PARAM_DIGEST, const_cast<char*>(digest), 0),
      OSSL_PARAM_construct_end()};
  size_t size = 0;
  if (context == nullptr || EVP_PKEY_sign_init(context.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) <= 0 ||
      EVP_PKEY_CTX_set_params(context.get(), params) <= 0 ||
      EVP_PKEY_sign(context.get(), nullptr, &size, hash.data(), hash.size()) <= 0) {
    return Fail(key_error::kFail);
  }
  std::vector<uint8_t> signature(size);
  if (EVP_PKEY_sign(context.get(), signature.data(), &size, hash.data(), hash.size()) <= 0) {
    return Fail(key_error::kFail);
  }
  // Left-pad to the modulus length so the reversed form has every byte.
  const size_t modulus_size = static_cast<size_t>(EVP_PKEY_get_size(key));
  signature.resize(size);
  if (size < modulus_size) signature.insert(signature.begin(), modulus_size - size, 0);
  std::reverse(signature.begin(), signature.end());
  return signature;
}

std::optional<SecretBytes> RsaDecryptPkcs1(EVP_PKEY* key, std::span<const uint8_t> block) {
  const OpensslErrorScope scope;
  const size_t modulus_size = static_cast<size_t>(EVP_PKEY_get_size(key));
  if (block.size() != modulus_size) return Fail(key_error::kBadLength);
  std::vector<uint8_t> big_endian(block.rbegin(), block.rend());
  UniqueEvpPkeyContext context = KeyContext(key);
  size_t size = 0;
  if (context == nullptr || EVP_PKEY_decrypt_init(context.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) <= 0 ||
      EVP_PKEY_decrypt(context.get(), nullptr, &size, big_endian.data(), big_endian.size()) <= 0) {
    return Fail(key_error::kFail);
  }
  // A block whose padding is wrong fails here with the OpenSSL releases this builds against; from
  // 3.2 on, OpenSSL answers such a block with a synthetic result instead (its defence against
  // padding oracles), and the caller's next check (a content MAC or padding) catches it.
  SecretBytes plain(size);
  if (EVP_PKEY_decrypt(context.get(), plain.data(), &size, big_endian.data(), big_endian.size()) <=
      0) {
    return Fail(key_error::kBadData);
  }
  plain.Truncate(size);
  return plain;
}

std::optional<std::vector<uint8_t>> RsaSignHash(std::span<const uint8_t> private_key,
                                                uint32_t algorithm, std::span<const uint8_t> hash) {
  const OpensslErrorScope scope;
  const UniqueEvpPkey key = ParseRsaPrivateKey(private_key);
  if (key == nullptr) return std::nullopt;
  return RsaSignHash(key.get(), algorithm, hash);
}

std::optional<SecretBytes> RsaDecryptPkcs1(std::span<const uint8_t> private_key,
                                           std::span<const uint8_t> block) {
  const OpensslErrorScope scope;
  const UniqueEvpPkey key = ParseRsaPrivateKey(private_key);
  if (key == nullptr) return std::nullopt;
  return RsaDecryptPkcs1(key.get(), block);
}

}  // namespace kelvadrome
