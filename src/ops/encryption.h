// Encryption and decryption of a caller's text: DES and triple DES with a key given as hex
// (ciphertext as Base64), and PKCS #7 EnvelopedData messages for recipient certificates, opened
// with a private key of "MY" or, when none fits, of a PFX file the user picks.
//
// The workers in CertComponent run these steps in the order their arguments are checked, with the
// protected-mode refusal in between; every function here returns a component code (0 = success).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/outcome.h"

namespace kelvadrome {

class ByteBuffer;
class DialogHost;

// The one bit of dwFlags the four workers read: the text travels as bytes of the process code page
// (else as UTF-16LE code units).
namespace encryption_flag {
inline constexpr int32_t kCodePageBytes = 0x0800;
}  // namespace encryption_flag

struct EncryptionText {
  std::u16string text;  // the result; empty on failure
};

using EncryptionOutcome = Outcome<EncryptionText>;

// ReadCiphertextText decodes Base64 ciphertext (armour lines, CR, LF and blanks allowed, as
// ByteBuffer::Base64Decode takes them) into |bytes|. Returns 0; 5005 for empty text; 9002 when the
// body holds a character that is not Base64 (the lenient decoder would turn it into bits nobody
// wrote) or when the armour is broken. A body of nothing but blanks and line breaks decodes to no
// bytes and returns 0: the decryption that follows fails. |bytes| is empty on failure.
int32_t ReadCiphertextText(std::u16string_view text, ByteBuffer& bytes);

// ReadKeyText decodes the hex key text into |key|. Returns 0, or 5005 (|key| empty) for empty
// text, an odd number of digits, or a character that is not a hex digit.
int32_t ReadKeyText(std::u16string_view text, ByteBuffer& key);

// EncryptSymmetric encrypts |plain_text| (its bytes chosen by kCodePageBytes in |flags|) with
// |key| under |algorithm| (0: triple DES with a 16- or 24-byte key, 1: DES with an 8-byte key) and
// returns the Base64 ciphertext. Codes: 9001 another algorithm; 9003 a key length that does not
// fit; 9004 the cipher failed (platform_error says why); 5005 for empty text.
EncryptionOutcome EncryptSymmetric(std::u16string_view plain_text, const ByteBuffer& key,
                                   int32_t algorithm, int32_t flags);

// DecryptSymmetric decrypts |ciphertext| likewise and returns the text: with kCodePageBytes the
// bytes up to the first zero byte read in the process code page, else the UTF-16LE code units up to
// the first zero unit (an odd last byte is a unit of its own). Codes: 9001, 9003 as above; 9005
// when the ciphertext does not decrypt (wrong key, bad padding, length not a multiple of 8).
EncryptionOutcome DecryptSymmetric(std::span<const uint8_t> ciphertext, const ByteBuffer& key,
                                   int32_t algorithm, int32_t flags);

struct RecipientCertificates {
  // The DER certificates to encrypt for, in the order given, each once.
  std::vector<std::vector<uint8_t>> certificates;
};

using RecipientReading = Outcome<RecipientCertificates>;

// ReadRecipientCertificates reads the recipients from |text| (narrow): one certificate in Base64
// (bare, or between certificate or PKCS #7 armour lines), or a PKCS #7 certificate bag whose
// certificates all become recipients (entries that are not certificates are passed over). A
// certificate given twice is taken once. Codes: 5005 empty text; 5040 (certificates empty) when
// the text after armour removal does not begin with 'M', does not decode, is a PKCS #7 message
// without a certificate set (platform_error 0x80091004) or with no usable certificate, or is
// neither a message nor a certificate (platform_error the decoder's error).
RecipientReading ReadRecipientCertificates(std::string_view text);

// EnvelopeAlgorithmFor returns the content-encryption algorithm (a dotted identifier of
// platform/pkcs7_envelope.h) for iAlgorithm: 1 DES-CBC, 2 RC4, any other three-key triple DES.
const char* EnvelopeAlgorithmFor(int32_t algorithm);

// EncryptForRecipients returns the Base64 DER of an EnvelopedData of |plain_text| (bytes per
// |flags|) for |recipients| under EnvelopeAlgorithmFor(|algorithm|). Codes: 5005 empty text; 5040
// no recipient; 9004 when the message cannot be made (a recipient key that is not RSA, a cipher
// the library lacks); platform_error stays 0.
EncryptionOutcome EncryptForRecipients(std::u16string_view plain_text,
                                       const std::vector<std::vector<uint8_t>>& recipients,
                                       int32_t algorithm, int32_t flags);

// EnvelopeDecryptCode maps the platform error of a failed envelope decryption to the code:
// NTE_BAD_KEY 5017, NTE_BAD_ALGID and CRYPT_E_UNEXPECTED_MSG_TYPE 5042, CRYPT_E_NO_DECRYPT_CERT
// 9006, anything else 9005.
int32_t EnvelopeDecryptCode(uint32_t platform_error);

struct EnvelopeDecryptRequest {
  std::span<const uint8_t> message;
  int32_t flags = 0;
  int32_t min_password_length = 0;  // handed to the PFX dialog
  int32_t max_password_length = 16;
};

// DecryptEnvelope opens the EnvelopedData |request.message| with a key of "MY"; when no
// certificate there fits (9006), it asks for a PFX file and its password with the PFX file dialog
// on |host| and tries the keys of that file instead. The text is read from the content as
// DecryptSymmetric reads its plaintext. Codes: those of EnvelopeDecryptCode (platform_error
// stays 0); 5070 or 5002 when the dialog is cancelled or cannot be shown; 5010 with the loader's
// platform error when the chosen file does not load. Stores, keys and the selected signer are left
// as they were; the PFX file's keys are forgotten when this returns.
EncryptionOutcome DecryptEnvelope(const EnvelopeDecryptRequest& request, DialogHost& host);

}  // namespace kelvadrome
