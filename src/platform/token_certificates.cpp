#include "platform/token_certificates.h"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/certificate.h"
#include "platform/key_container.h"
#include "platform/last_error.h"
#include "platform/pkcs11_tokens.h"
#include "platform/providers.h"

namespace kelvadrome {
namespace {

std::vector<uint8_t> SourceOf(const TokenRef& token) {
  std::vector<uint8_t> value(token.module.begin(), token.module.end());
  value.push_back('\n');
  value.insert(value.end(), token.serial.begin(), token.serial.end());
  return value;
}

struct RefreshClock {
  std::mutex mutex;
  std::chrono::milliseconds interval{2000};
  std::optional<std::chrono::steady_clock::time_point> last;
};

RefreshClock& Clock() {
  static RefreshClock clock;
  return clock;
}

// Brings in the certificates of |token| that have their key beside them; false when the token
// could not be read (what it had stays).
bool BringIn(CertStore& my, KeyContainerStore& containers, const TokenRef& token) {
  auto certificates = TokenCertificates(token);
  if (!certificates) return false;
  for (const TokenCertificate& certificate : *certificates) {
    if (!certificate.has_key) continue;
    if (my.Find(CertificateThumbprint(certificate.der))) continue;
    Certificate decoded;
    if (!decoded.Decode(certificate.der.data(), certificate.der.size())) {
      continue;  // bytes on the token that are not one certificate
    }
    auto adopted = containers.AdoptTokenKey(token, certificate.id, decoded.public_key_info());
    if (!adopted) continue;  // not an RSA key
    const KeyProviderLink link{adopted->container, std::string(CardProvider().name),
                               CardProvider().type, 0, adopted->spec};
    my.AddWithProperties(certificate.der, AddDisposition::kUseExisting,
                         {{cert_property::kKeyProviderInfo, EncodeKeyProviderLink(link)},
                          {cert_property::kTokenSource, SourceOf(token)}});
  }
  return true;
}

}  // namespace

bool SyncTokenCertificates(CertStore& my, const std::shared_ptr<ProfileDatabase>& profile) {
  const std::vector<TokenInfo> present = PresentTokens();
  std::vector<std::vector<uint8_t>> sources;
  KeyContainerStore containers(profile);
  for (const TokenInfo& token : present) {
    sources.push_back(SourceOf(token.ref));
    BringIn(my, containers, token.ref);
  }
  auto marked = my.WithProperty(cert_property::kTokenSource);
  if (!marked) return false;
  bool ok = true;
  for (const auto& [id, source] : *marked) {
    if (std::find(sources.begin(), sources.end(), source) != sources.end()) continue;
    if (!my.Delete(id)) ok = false;
  }
  return ok;
}

void RefreshTokenCertificates(CertStore& my, const std::shared_ptr<ProfileDatabase>& profile) {
  RefreshClock& clock = Clock();
  {
    const std::lock_guard<std::mutex> lock(clock.mutex);
    const auto now = std::chrono::steady_clock::now();
    if (clock.last && now - *clock.last < clock.interval) return;
    clock.last = now;
  }
  const uint32_t error = LastPlatformError();
  SyncTokenCertificates(my, profile);
  SetLastPlatformError(error);
}

std::chrono::milliseconds SetTokenRefreshInterval(std::chrono::milliseconds interval) {
  RefreshClock& clock = Clock();
  const std::lock_guard<std::mutex> lock(clock.mutex);
  std::swap(clock.interval, interval);
  clock.last.reset();
  return interval;
}

}  // namespace kelvadrome
