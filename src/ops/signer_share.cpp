#include "ops/signer_share.h"

#include <cstdlib>
#include <cstring>

#include "platform/shared_block.h"

namespace kelvadrome {

namespace {

// The record's items. Texts are stored without a terminator; readers stop at the first NUL.
constexpr std::string_view kSourceItem = "signerMedia";
constexpr std::string_view kCertificateItem = "signerCertBytes";
constexpr std::string_view kThumbprintItem = "signerCertHash";
constexpr std::string_view kPasswordItem = "signerCertPasswd";
constexpr std::string_view kFolderItem = "signerCertFilePath";
constexpr std::string_view kFileNameItem = "signerCertFileName";

size_t TextLength(const std::vector<uint8_t>& bytes) {
  const void* nul = std::memchr(bytes.data(), 0, bytes.size());
  return nul != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - bytes.data())
                        : bytes.size();
}

}  // namespace

SignerShare::SignerShare() = default;
SignerShare::~SignerShare() = default;

void SignerShare::Open() {
  if (block_) return;
  // KELVADROME_SHARE_NAME gives tests a block of their own, away from the user's real one.
  const char* name = std::getenv("KELVADROME_SHARE_NAME");
  block_ = std::make_unique<SharedBlock>(
      name != nullptr && *name != '\0' ? std::string_view(name) : kSharedBlockName,
      kSharedBlockSize);
}

void SignerShare::Publish(const SelectedSigner& signer) {
  Open();
  const auto source = static_cast<int32_t>(signer.source);
  if (block_->HasItem(kSourceItem)) {
    block_->SetInt(kSourceItem, source);
  } else {
    block_->AddInt(kSourceItem, source);
  }
  // The certificate is replaced in place when the item exists; the texts are removed and added.
  const auto length = static_cast<uint32_t>(signer.der.size());
  if (block_->HasItem(kCertificateItem)) {
    block_->SetItem(kCertificateItem, signer.der.data(), length);
  } else {
    block_->AddItem(kCertificateItem, signer.der.data(), length);
  }
  WriteBytes(kThumbprintItem, signer.thumbprint.data(), signer.thumbprint.size());
  WriteBytes(kPasswordItem, signer.pfx_password.data(), signer.pfx_password.size());
  WriteBytes(kFolderItem, signer.pfx_folder.data(), signer.pfx_folder.size());
  WriteBytes(kFileNameItem, signer.pfx_name.data(), signer.pfx_name.size());
}

std::optional<SelectedSigner> SignerShare::Read() {
  SelectedSigner signer;
  if (!ReadBytes(kCertificateItem, signer.der)) return std::nullopt;
  signer.source = ReadSource();
  signer.thumbprint = ReadText(kThumbprintItem);
  signer.pfx_password = ReadSecretText(kPasswordItem);
  signer.pfx_folder = ReadText(kFolderItem);
  signer.pfx_name = ReadText(kFileNameItem);
  return signer;
}

std::optional<PublishedPfxFile> SignerShare::ReadPfxFile() {
  if (ReadSource() != SignerSource::kPfxFile) return std::nullopt;
  return PublishedPfxFile{ReadText(kFolderItem), ReadText(kFileNameItem),
                          ReadSecretText(kPasswordItem)};
}

void SignerShare::PublishPfxPassword(const SecretString& password) {
  Open();
  WriteBytes(kPasswordItem, password.data(), password.size());
}

void SignerShare::WriteBytes(std::string_view name, const void* data, size_t size) {
  // Empty text removes the item: the block keeps no item of length 0.
  if (block_->HasItem(name)) block_->DeleteItem(name);
  block_->AddItem(name, data, static_cast<uint32_t>(size));
}

SignerSource SignerShare::ReadSource() {
  if (!block_ || !block_->HasItem(kSourceItem)) return SignerSource::kNone;
  switch (block_->GetInt(kSourceItem, -1)) {
    case static_cast<int32_t>(SignerSource::kStore):
      return SignerSource::kStore;
    case static_cast<int32_t>(SignerSource::kPfxFile):
      return SignerSource::kPfxFile;
    default:
      return SignerSource::kNone;
  }
}

bool SignerShare::ReadBytes(std::string_view name, std::vector<uint8_t>& bytes) {
  bytes.clear();
  uint32_t length = 0;
  if (!block_ || !block_->GetItem(name, nullptr, &length)) return false;
  bytes.resize(length);
  if (!block_->GetItem(name, bytes.data(), &length)) {
    bytes.clear();
    return false;
  }
  bytes.resize(length);
  return true;
}

std::string SignerShare::ReadText(std::string_view name) {
  std::vector<uint8_t> bytes;
  if (!ReadBytes(name, bytes)) return std::string();
  return std::string(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(TextLength(bytes)));
}

SecretString SignerShare::ReadSecretText(std::string_view name) {
  std::vector<uint8_t> bytes;
  SecretString text;
  if (ReadBytes(name, bytes)) {
    text.append(reinterpret_cast<const char*>(bytes.data()), TextLength(bytes));
  }
  SecureWipe(bytes.data(), bytes.capacity());
  return text;
}

}  // namespace kelvadrome
