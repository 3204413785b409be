// The encryption workers of CertComponent: SymEncrypt, SymDecrypt, CertEncryptPkcs7 and
// CertDecryptPkcs7. Each checks its arguments in its own order around the protected-mode refusal,
// then hands the work to ops/encryption. None of them touches the selected signer.
#include <string>

#include "codec/byte_buffer.h"
#include "frame/cert_component.h"
#include "ops/encryption.h"
#include "platform/error_codes.h"
#include "platform/text.h"

namespace kelvadrome {

std::u16string CertComponent::SymEncrypt(TextArg strPlainText, TextArg strPasswdHex,
                                         int32_t iAlgorithm, int32_t dwFlags) {
  Reset(MethodId::SymEncrypt);
  if (strPlainText.view().empty()) {
    errors_.errorCode = Code(ErrorCode::kBadArgument);
    return {};
  }
  if (Refuses(MethodId::SymEncrypt)) return {};
  ByteBuffer key;
  if (const int32_t code = ReadKeyText(strPasswdHex.view(), key); code != 0) {
    errors_.errorCode = code;
    return {};
  }
  EncryptionOutcome outcome = EncryptSymmetric(strPlainText.view(), key, iAlgorithm, dwFlags);
  errors_.errorCode = outcome.code;
  errors_.capiErrorCode = outcome.platform_error;
  return std::move(outcome.text);
}

std::u16string CertComponent::SymDecrypt(TextArg strCipher, TextArg strPasswdHex,
                                         int32_t iAlgorithm, int32_t dwFlags) {
  // The ciphertext and the key are checked before the protected-mode refusal.
  Reset(MethodId::SymDecrypt);
  ByteBuffer ciphertext;
  if (const int32_t code = ReadCiphertextText(strCipher.view(), ciphertext); code != 0) {
    errors_.errorCode = code;
    return {};
  }
  ByteBuffer key;
  if (const int32_t code = ReadKeyText(strPasswdHex.view(), key); code != 0) {
    errors_.errorCode = code;
    return {};
  }
  if (Refuses(MethodId::SymDecrypt)) return {};
  EncryptionOutcome outcome = DecryptSymmetric(
      {ciphertext.data(), static_cast<size_t>(ciphertext.length())}, key, iAlgorithm, dwFlags);
  errors_.errorCode = outcome.code;
  errors_.capiErrorCode = outcome.platform_error;
  return std::move(outcome.text);
}

std::u16string CertComponent::CertEncryptPkcs7(TextArg strPlainText, TextArg strCertB64,
                                               int32_t iAlgorithm, int32_t dwFlags) {
  Reset(MethodId::CertEncryptPkcs7);
  if (strPlainText.view().empty()) {
    errors_.errorCode = Code(ErrorCode::kBadArgument);
    return {};
  }
  if (Refuses(MethodId::CertEncryptPkcs7)) return {};
  if (strCertB64.view().empty()) {
    errors_.errorCode = Code(ErrorCode::kBadArgument);
    return {};
  }
  const RecipientReading recipients = ReadRecipientCertificates(ConvertToNarrow(strCertB64.view()));
  if (recipients.code != 0) {
    errors_.errorCode = recipients.code;
    errors_.capiErrorCode = recipients.platform_error;
    return {};
  }
  EncryptionOutcome outcome =
      EncryptForRecipients(strPlainText.view(), recipients.certificates, iAlgorithm, dwFlags);
  errors_.errorCode = outcome.code;
  errors_.capiErrorCode = outcome.platform_error;
  return std::move(outcome.text);
}

std::u16string CertComponent::CertDecryptPkcs7(TextArg strCipher, int32_t dwFlags) {
  // The message is checked before the protected-mode refusal.
  Reset(MethodId::CertDecryptPkcs7);
  ByteBuffer message;
  if (const int32_t code = ReadCiphertextText(strCipher.view(), message); code != 0) {
    errors_.errorCode = code;
    return {};
  }
  if (Refuses(MethodId::CertDecryptPkcs7)) return {};
  EnvelopeDecryptRequest request;
  request.message = {message.data(), static_cast<size_t>(message.length())};
  request.flags = dwFlags;
  request.min_password_length = minPasswordLength;
  request.max_password_length = maxPasswordLength;
  EncryptionOutcome outcome = DecryptEnvelope(request, dialogs());
  errors_.errorCode = outcome.code;
  errors_.capiErrorCode = outcome.platform_error;
  return std::move(outcome.text);
}

}  // namespace kelvadrome
