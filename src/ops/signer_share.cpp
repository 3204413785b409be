#include "ops/signer_share.h"

#include <cstdlib>

#include "codec/secure_wipe.h"
#include "ops/signer_selection.h"
#include "platform/shared_block.h"

namespace kelvadrome {

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

void SignerShare::PublishSigner(const SelectedSigner& signer) {
  Open();
  // Results are not checked: a publish that fails leaves the items published before.
  if (block_->HasItem("signerMedia")) {
    block_->SetInt("signerMedia", signer.signerMedia);
  } else {
    block_->AddInt("signerMedia", signer.signerMedia);
  }
  const auto& der = signer.signerCertBytes;
  const auto length = static_cast<uint32_t>(der.size());
  if (block_->HasItem("signerCertBytes")) {
    block_->SetItem("signerCertBytes", der.data(), length);
  } else {
    block_->AddItem("signerCertBytes", der.data(), length);
  }
  WriteText("signerCertHash", signer.signerCertHash);
  WriteText("signerCertPasswd", signer.signerCertPasswd);
  WriteText("signerCertFilePath", signer.signerCertFilePath);
  WriteText("signerCertFileName", signer.signerCertFileName);
}

void SignerShare::WriteText(std::string_view name, std::string_view text) {
  Open();
  if (block_->HasItem(name)) block_->DeleteItem(name);
  block_->AddItem(name, text.data(), static_cast<uint32_t>(text.size()));
}

int32_t SignerShare::ReadInt(std::string_view name) {
  if (!block_ || !block_->HasItem(name)) return -1;
  return block_->GetInt(name, -1);
}

std::string SignerShare::ReadText(std::string_view name) {
  std::vector<uint8_t> bytes;
  if (!ReadBytes(name, bytes)) return std::string();
  std::string text(bytes.begin(), bytes.end());
  SecureWipe(bytes.data(), bytes.size());
  return text.substr(0, text.find('\0'));
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

}  // namespace kelvadrome
