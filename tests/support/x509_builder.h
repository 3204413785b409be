// Builds X.509 certificates for tests with the OpenSSL library (an independent implementation the
// tests may use freely). Header-only: only the unit tests that include it link OpenSSL for it.
#pragma once

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kelvadrome::testing {

// One name attribute: |field| is an OpenSSL short or long name or a dotted OID; |value| holds the
// raw value octets written with the ASN.1 string type |type| (V_ASN1_UTF8STRING, ...).
// |same_rdn| adds the attribute to the previous RDN (a multi-valued RDN).
struct NameField {
  std::string field;
  std::string value;
  int type = V_ASN1_UTF8STRING;
  bool same_rdn = false;
};

struct CertificateSpec {
  std::vector<NameField> subject = {{"CN", "Test subject"}};
  // Empty: the issuer is the subject (self-issued).
  std::vector<NameField> issuer = {{"CN", "Test issuer"}};
  // Content octets of the serial number INTEGER (must be a minimal encoding).
  std::vector<uint8_t> serial = {0x01};
  // Validity as an ASN.1 time string: 13 characters give UTCTime, 15 GeneralizedTime.
  std::string not_before = "200101000000Z";
  std::string not_after = "300101000000Z";
  // Extension values in the openssl configuration syntax, e.g. "critical,keyCertSign".
  std::optional<std::string> key_usage;
  std::optional<std::string> basic_constraints;
};

inline EVP_PKEY* TestSigningKey() {
  // One P-256 key for every test certificate: quick to make and to sign with.
  static EVP_PKEY* key = EVP_EC_gen("P-256");
  return key;
}

inline bool AddNameFields(X509_NAME* name, const std::vector<NameField>& fields) {
  for (const NameField& field : fields) {
    if (X509_NAME_add_entry_by_txt(name, field.field.c_str(), field.type,
                                   reinterpret_cast<const unsigned char*>(field.value.data()),
                                   static_cast<int>(field.value.size()), -1,
                                   field.same_rdn ? -1 : 0) != 1) {
      ADD_FAILURE() << "cannot add name field " << field.field;
      return false;
    }
  }
  return true;
}

inline bool AddExtension(X509* x509, int nid, const std::optional<std::string>& value) {
  if (!value) return true;
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, x509, x509, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value->c_str());
  if (extension == nullptr) return false;
  const bool ok = X509_add_ext(x509, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  return ok;
}

// MakeCertificateDer returns the DER of a signed certificate built from |spec| (empty, with a test
// failure recorded, when OpenSSL refuses the description).
inline std::vector<uint8_t> MakeCertificateDer(const CertificateSpec& spec) {
  std::vector<uint8_t> result;
  X509* x509 = X509_new();
  X509_NAME* subject = X509_NAME_new();
  X509_NAME* issuer = X509_NAME_new();
  std::vector<uint8_t> serial_der = {0x02, static_cast<uint8_t>(spec.serial.size())};
  serial_der.insert(serial_der.end(), spec.serial.begin(), spec.serial.end());
  const unsigned char* serial_cursor = serial_der.data();
  ASN1_INTEGER* serial =
      d2i_ASN1_INTEGER(nullptr, &serial_cursor, static_cast<long>(serial_der.size()));
  bool ok = x509 != nullptr && subject != nullptr && issuer != nullptr && serial != nullptr &&
            spec.serial.size() < 128 && X509_set_version(x509, 2) == 1 &&
            X509_set_serialNumber(x509, serial) == 1 && AddNameFields(subject, spec.subject) &&
            AddNameFields(issuer, spec.issuer.empty() ? spec.subject : spec.issuer) &&
            X509_set_subject_name(x509, subject) == 1 && X509_set_issuer_name(x509, issuer) == 1 &&
            ASN1_TIME_set_string(X509_getm_notBefore(x509), spec.not_before.c_str()) == 1 &&
            ASN1_TIME_set_string(X509_getm_notAfter(x509), spec.not_after.c_str()) == 1 &&
            X509_set_pubkey(x509, TestSigningKey()) == 1 &&
            AddExtension(x509, NID_key_usage, spec.key_usage) &&
            AddExtension(x509, NID_basic_constraints, spec.basic_constraints) &&
            X509_sign(x509, TestSigningKey(), EVP_sha256()) > 0;
  if (ok) {
    unsigned char* der = nullptr;
    const int length = i2d_X509(x509, &der);
    if (length > 0) result.assign(der, der + length);
    OPENSSL_free(der);
  }
  if (result.empty()) ADD_FAILURE() << "OpenSSL could not build the test certificate";
  ASN1_INTEGER_free(serial);
  X509_NAME_free(issuer);
  X509_NAME_free(subject);
  X509_free(x509);
  return result;
}

// Bytes of a hex string (two digits per byte, no separators).
inline std::vector<uint8_t> HexBytes(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

}  // namespace kelvadrome::testing
