#include "platform/key_protection.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <thread>

#include "platform/crypto_context.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "platform/last_error.h"
#include "platform/openssl_call.h"
#include "platform/secret_library.h"

namespace kelvadrome {
namespace {

namespace error = key_protection_error;

constexpr char kCipherName[] = "AES-256-GCM";
// Records and associated data larger than this are refused before OpenSSL sees them (its lengths
// are int); a private key is a few kilobytes.
constexpr size_t kLargestInput = 16u << 20;

// The keyring has this long to show that it answers (the D-Bus default of 25 s would hang the
// caller), and this long to store or find a key, which may include the keyring asking the user to
// unlock it.
constexpr std::chrono::milliseconds kKeyringProbeBound{2000};
constexpr std::chrono::milliseconds kKeyringCallBound{10000};

constexpr char kSchemaName[] = "org.kelvadrome.WrappingKey";
constexpr char kIdAttribute[] = "id";
constexpr char kKeyringLabel[] = "Kelvadrome key protection";
// An id no key ever has (ids are hex): looking it up asks the keyring without finding anything.
constexpr char kProbeId[] = "probe";

template <typename T>
std::optional<T> Fail(uint32_t code) {
  SetLastPlatformError(code);
  return std::nullopt;
}

// ---- Hex text of ids and keys ----

constexpr char kHexDigits[] = "0123456789abcdef";

template <typename Text>
void AppendHex(std::span<const uint8_t> bytes, Text& out) {
  for (const uint8_t byte : bytes) {
    out.push_back(kHexDigits[byte >> 4]);
    out.push_back(kHexDigits[byte & 0x0F]);
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes exactly |out.size()| bytes from |text|; false when it is not that many hex digit pairs.
bool DecodeHex(std::string_view text, std::span<uint8_t> out) {
  if (text.size() != 2 * out.size()) return false;
  for (size_t i = 0; i < out.size(); ++i) {
    const int high = HexValue(text[2 * i]);
    const int low = HexValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    out[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return true;
}

std::string IdText(std::span<const uint8_t> id) {
  std::string text;
  AppendHex(id, text);
  return text;
}

// ---- Sealing ----

UniqueEvpCipher FetchCipher() {
  OSSL_LIB_CTX* context = CryptoLibraryContext();
  if (context == nullptr) return nullptr;
  return UniqueEvpCipher(EVP_CIPHER_fetch(context, kCipherName, CryptoPropertyQuery()));
}

// Feeds the authenticated data: the record's version byte, then the caller's |associated|.
bool AddAssociatedData(EVP_CIPHER_CTX* context, bool encrypt, std::span<const uint8_t> associated) {
  int ignored = 0;
  const uint8_t version = kSealedRecordVersion;
  auto update = encrypt ? EVP_EncryptUpdate : EVP_DecryptUpdate;
  if (update(context, nullptr, &ignored, &version, 1) != 1) return false;
  return associated.empty() || update(context, nullptr, &ignored, associated.data(),
                                      static_cast<int>(associated.size())) == 1;
}

// ---- The key file store ----

std::string EnvironmentOr(const char* name, std::string fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::string(value) : fallback;
}

std::string HomeFolder() {
  std::string home = EnvironmentOr("HOME", "");
  if (!home.empty()) return home;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return "";
}

// Creates |folder| and its missing parents with mode 0700.
bool MakeFolders(const std::string& folder) {
  size_t position = 0;
  while (position != std::string::npos) {
    position = folder.find('/', position + 1);
    const std::string partial = folder.substr(0, position);
    if (partial.empty()) continue;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
      SetLastPlatformError(errno == ENOSPC ? 112 : error::kAccessDenied);
      return false;
    }
  }
  return true;
}

// Opens the key folder without following a symbolic link and checks that it is the user's own.
// |create| makes it when missing and tightens a loosened mode back to 0700; otherwise a missing
// folder means the key is missing and one others may write to is refused.
UniqueFd OpenKeyFolder(bool create) {
  const std::string folder = WrappingKeyFolder();
  if (folder.empty() || folder[0] != '/') {
    SetLastPlatformError(create ? error::kAccessDenied : error::kKeyNotFound);
    return UniqueFd();
  }
  if (create && !MakeFolders(folder)) return UniqueFd();
  UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) {
    SetLastPlatformError(errno == ENOENT ? error::kKeyNotFound : error::kAccessDenied);
    return UniqueFd();
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || info.st_uid != ::geteuid()) {
    SetLastPlatformError(error::kAccessDenied);
    return UniqueFd();
  }
  if ((info.st_mode & 077) != 0) {
    if (create ? ::fchmod(fd.get(), 0700) != 0 : (info.st_mode & 022) != 0) {
      SetLastPlatformError(error::kAccessDenied);
      return UniqueFd();
    }
  }
  return fd;
}

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// Moves |from| to |to| in |folder| unless |to| exists. Where the file system cannot rename without
// replacing, a hard link gives the same guarantee.
bool RenameNoReplace(int folder, const char* from, const char* to) {
  if (::renameat2(folder, from, folder, to, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (::linkat(folder, from, folder, to, 0) != 0) return false;
  ::unlinkat(folder, from, 0);
  return true;
}

// Writes the key to a private temporary file, flushes it to disk and only then renames it to its
// id, so a key file under its final name is always complete.
bool WriteKeyFile(const WrappingKey& key) {
  const UniqueFd folder = OpenKeyFolder(true);
  if (!folder.valid()) return false;
  const std::string name = IdText(key.id);
  const std::string temporary = "." + name + ".partial";
  UniqueFd file(::openat(folder.get(), temporary.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file.valid()) {
    SetLastPlatformError(errno == ENOSPC ? 112 : error::kAccessDenied);
    return false;
  }
  const bool written = ::fchmod(file.get(), 0600) == 0 &&
                       WriteAll(file.get(), key.key.data(), key.key.size()) &&
                       ::fsync(file.get()) == 0 && file.Close();
  if (!written || !RenameNoReplace(folder.get(), temporary.c_str(), name.c_str())) {
    const int cause = errno;
    ::unlinkat(folder.get(), temporary.c_str(), 0);
    SetLastPlatformError(cause == ENOSPC ? 112 : error::kAccessDenied);
    return false;
  }
  // The new name reaches the disk too.
  ::fsync(folder.get());
  return true;
}

std::optional<SecretBytes> ReadKeyFile(std::span<const uint8_t> id) {
  const UniqueFd folder = OpenKeyFolder(false);
  if (!folder.valid()) return std::nullopt;
  const std::string name = IdText(id);
  // O_NONBLOCK: a FIFO planted under the name must not block the open.
  UniqueFd file(::openat(folder.get(), name.c_str(),
                         O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!file.valid()) {
    return Fail<SecretBytes>(errno == ENOENT ? error::kKeyNotFound : error::kAccessDenied);
  }
  struct stat info {};
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
      (info.st_mode & 077) != 0) {
    return Fail<SecretBytes>(error::kAccessDenied);
  }
  if (info.st_size != static_cast<off_t>(kWrappingKeySize)) {
    return Fail<SecretBytes>(error::kKeyFileCorrupt);
  }
  SecretBytes key(kWrappingKeySize);
  if (!ReadExactly(file.get(), key.data(), key.size())) {
    return Fail<SecretBytes>(error::kKeyFileCorrupt);
  }
  return key;
}

// ---- The keyring store ----

const SecretSchema& Schema() {
  static const SecretSchema schema = [] {
    SecretSchema built{};
    built.name = kSchemaName;
    built.flags = SECRET_SCHEMA_NONE;
    built.attributes[0].name = kIdAttribute;
    built.attributes[0].type = SECRET_SCHEMA_ATTRIBUTE_STRING;
    return built;
  }();
  return schema;
}

// The outcome of one keyring call made under a bound.
enum class KeyringReply { kAnswered, kFailed, kTimedOut };

// BoundedKeyringCall runs |call| (given a GCancellable and a GError** to fill) while a watchdog
// thread cancels the cancellable once |bound| has passed, which makes libsecret's waiting call
// return. The GError is released here.
template <typename Call>
KeyringReply BoundedKeyringCall(const SecretLibrary& secret, std::chrono::milliseconds bound,
                                Call&& call) {
  const UniqueGCancellable cancellable(secret.g_cancellable_new());
  if (!cancellable) return KeyringReply::kFailed;
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  bool fired = false;
  std::thread watchdog([&] {
    std::unique_lock lock(mutex);
    if (!finished.wait_for(lock, bound, [&] { return done; })) {
      fired = true;
      secret.g_cancellable_cancel(cancellable.get());
    }
  });
  GError* raw_error = nullptr;
  call(cancellable.get(), &raw_error);
  const UniqueGError failure(raw_error);
  {
    const std::lock_guard lock(mutex);
    done = true;
  }
  finished.notify_one();
  watchdog.join();
  if (fired) return KeyringReply::kTimedOut;
  return failure ? KeyringReply::kFailed : KeyringReply::kAnswered;
}

uint32_t KeyringFailure(KeyringReply reply) {
  return reply == KeyringReply::kTimedOut ? error::kKeyringTimedOut : error::kKeyringNotAnswering;
}

// The keyring is only asked when a session bus is named: without one, libsecret would try to
// start a bus of its own.
const SecretLibrary* KeyringLibrary() {
  const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (bus == nullptr || *bus == '\0') {
    SetLastPlatformError(error::kKeyringNotAnswering);
    return nullptr;
  }
  return Secret();
}

// Looks |id_text| up in the keyring. nullopt with the error recorded when the keyring fails; an
// empty SecretBytes when it answers without such a key.
std::optional<SecretBytes> KeyringLookup(const SecretLibrary& secret, const std::string& id_text,
                                         std::chrono::milliseconds bound) {
  gchar* text = nullptr;
  const KeyringReply reply = BoundedKeyringCall(secret, bound, [&](GCancellable* c, GError** e) {
    text = secret.secret_password_lookup_nonpageable_sync(&Schema(), c, e, kIdAttribute,
                                                          id_text.c_str(), nullptr);
  });
  SecretBytes key;
  bool well_formed = true;
  if (text != nullptr) {
    key = SecretBytes(kWrappingKeySize);
    well_formed = DecodeHex(text, {key.data(), key.size()});
    // secret_password_free wipes the text before freeing it.
    secret.secret_password_free(text);
  }
  if (reply != KeyringReply::kAnswered) return Fail<SecretBytes>(KeyringFailure(reply));
  if (!well_formed) return Fail<SecretBytes>(error::kBadKey);
  return key;
}

bool KeyringAnswers(std::string* reason) {
  const SecretLibrary* secret = KeyringLibrary();
  if (secret == nullptr) {
    *reason = LastPlatformError() == error::kKeyringMissing ? "libsecret cannot be loaded"
                                                            : "DBUS_SESSION_BUS_ADDRESS is not set";
    return false;
  }
  if (!KeyringLookup(*secret, kProbeId, kKeyringProbeBound)) {
    *reason = LastPlatformError() == error::kKeyringTimedOut
                  ? "the Secret Service did not answer within 2 s"
                  : "the Secret Service cannot be reached";
    return false;
  }
  return true;
}

bool StoreInKeyring(const WrappingKey& key) {
  const SecretLibrary* secret = KeyringLibrary();
  if (secret == nullptr) return false;
  SecretString text;
  text.reserve(2 * key.key.size());
  AppendHex(key.key.view(), text);
  const std::string id_text = IdText(key.id);
  gboolean stored = FALSE;
  const KeyringReply reply =
      BoundedKeyringCall(*secret, kKeyringCallBound, [&](GCancellable* c, GError** e) {
        stored = secret->secret_password_store_sync(&Schema(), SECRET_COLLECTION_DEFAULT,
                                                    kKeyringLabel, text.c_str(), c, e, kIdAttribute,
                                                    id_text.c_str(), nullptr);
      });
  if (reply != KeyringReply::kAnswered || !stored) {
    SetLastPlatformError(KeyringFailure(reply));
    return false;
  }
  return true;
}

std::optional<SecretBytes> FindInKeyring(std::span<const uint8_t> id) {
  const SecretLibrary* secret = KeyringLibrary();
  if (secret == nullptr) return std::nullopt;
  auto key = KeyringLookup(*secret, IdText(id), kKeyringCallBound);
  if (!key) return std::nullopt;
  if (key->empty()) return Fail<SecretBytes>(error::kKeyNotFound);
  return key;
}

std::optional<WrappingKeyStore> ForcedStore() {
  const char* forced = std::getenv("KELVADROME_KEY_STORE");
  if (forced == nullptr) return std::nullopt;
  const std::string_view value(forced);
  if (value == "keyring") return WrappingKeyStore::kKeyring;
  if (value == "file") return WrappingKeyStore::kKeyFile;
  return std::nullopt;
}

}  // namespace

std::string WrappingKeyFolder() {
  const char* config_home = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (config_home != nullptr && config_home[0] == '/') {
    base = config_home;
  } else {
    const std::string home = HomeFolder();
    if (home.empty()) return "";
    base = home + "/.config";
  }
  return base + "/kelvadrome/wrapping-keys";
}

WrappingKeyStore PreferredWrappingKeyStore() {
  if (const auto forced = ForcedStore()) return *forced;
  std::string reason;
  return KeyringAnswers(&reason) ? WrappingKeyStore::kKeyring : WrappingKeyStore::kKeyFile;
}

std::optional<WrappingKey> CreateWrappingKey() {
  WrappingKey key;
  key.store = PreferredWrappingKeyStore();
  key.key = SecretBytes(kWrappingKeySize);
  {
    const OpensslErrorScope scope;
    OSSL_LIB_CTX* context = CryptoLibraryContext();
    if (context == nullptr || RAND_bytes_ex(context, key.id.data(), key.id.size(), 0) != 1 ||
        RAND_priv_bytes_ex(context, key.key.data(), key.key.size(), 0) != 1) {
      return Fail<WrappingKey>(error::kCryptoFailed);
    }
  }
  const bool stored =
      key.store == WrappingKeyStore::kKeyring ? StoreInKeyring(key) : WriteKeyFile(key);
  if (!stored) return std::nullopt;
  return key;
}

std::optional<WrappingKey> FindWrappingKey(WrappingKeyStore store, std::span<const uint8_t> id) {
  if (id.size() != kWrappingKeyIdSize) return Fail<WrappingKey>(error::kInvalidParameter);
  auto bytes = store == WrappingKeyStore::kKeyring ? FindInKeyring(id) : ReadKeyFile(id);
  if (!bytes) return std::nullopt;
  WrappingKey key;
  key.store = store;
  std::copy(id.begin(), id.end(), key.id.begin());
  key.key = std::move(*bytes);
  return key;
}

std::string DescribeWrappingKeyStore(WrappingKeyStore store) {
  if (store == WrappingKeyStore::kKeyFile) {
    const std::string folder = WrappingKeyFolder();
    return "key files in " + (folder.empty() ? std::string("(no home folder)") : folder);
  }
  std::string reason;
  if (KeyringAnswers(&reason)) return "desktop keyring (Secret Service): answers";
  return "desktop keyring (Secret Service): does not answer: " + reason;
}

std::optional<std::vector<uint8_t>> SealPrivateKey(const WrappingKey& key,
                                                   std::span<const uint8_t> associated,
                                                   std::span<const uint8_t> plaintext) {
  if (key.key.size() != kWrappingKeySize) return Fail<std::vector<uint8_t>>(error::kBadKey);
  if (plaintext.size() > kLargestInput || associated.size() > kLargestInput) {
    return Fail<std::vector<uint8_t>>(error::kInvalidParameter);
  }
  const OpensslErrorScope scope;
  OSSL_LIB_CTX* library = CryptoLibraryContext();
  const UniqueEvpCipher cipher = FetchCipher();
  const UniqueEvpCipherContext context(EVP_CIPHER_CTX_new());
  if (library == nullptr || !cipher || !context) {
    return Fail<std::vector<uint8_t>>(error::kCryptoFailed);
  }
  std::vector<uint8_t> sealed(kSealOverhead + plaintext.size());
  sealed[0] = kSealedRecordVersion;
  uint8_t* nonce = sealed.data() + 1;
  uint8_t* ciphertext = nonce + kSealNonceSize;
  uint8_t* tag = ciphertext + plaintext.size();
  int produced = 0;
  const bool done =
      RAND_bytes_ex(library, nonce, kSealNonceSize, 0) == 1 &&
      EVP_EncryptInit_ex2(context.get(), cipher.get(), key.key.data(), nonce, nullptr) == 1 &&
      AddAssociatedData(context.get(), true, associated) &&
      (plaintext.empty() ||
       (EVP_EncryptUpdate(context.get(), ciphertext, &produced, plaintext.data(),
                          static_cast<int>(plaintext.size())) == 1 &&
        static_cast<size_t>(produced) == plaintext.size())) &&
      EVP_EncryptFinal_ex(context.get(), tag, &produced) == 1 && produced == 0 &&
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_AEAD_GET_TAG, kSealTagSize, tag) == 1;
  if (!done) return Fail<std::vector<uint8_t>>(error::kCryptoFailed);
  return sealed;
}

std::optional<SecretBytes> UnsealPrivateKey(const WrappingKey& key,
                                            std::span<const uint8_t> associated,
                                            std::span<const uint8_t> sealed) {
  if (key.key.size() != kWrappingKeySize) return Fail<SecretBytes>(error::kBadKey);
  if (sealed.size() < kSealOverhead || sealed[0] != kSealedRecordVersion) {
    return Fail<SecretBytes>(error::kBadRecord);
  }
  if (sealed.size() > kLargestInput + kSealOverhead || associated.size() > kLargestInput) {
    return Fail<SecretBytes>(error::kInvalidParameter);
  }
  const size_t length = sealed.size() - kSealOverhead;
  const uint8_t* nonce = sealed.data() + 1;
  const uint8_t* ciphertext = nonce + kSealNonceSize;
  // OpenSSL takes the expected tag through a non-const pointer; it only reads it.
  std::array<uint8_t, kSealTagSize> tag{};
  std::memcpy(tag.data(), ciphertext + length, kSealTagSize);

  const OpensslErrorScope scope;
  const UniqueEvpCipher cipher = FetchCipher();
  const UniqueEvpCipherContext context(EVP_CIPHER_CTX_new());
  if (!cipher || !context) return Fail<SecretBytes>(error::kCryptoFailed);
  if (EVP_DecryptInit_ex2(context.get(), cipher.get(), key.key.data(), nonce, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_AEAD_SET_TAG, kSealTagSize, tag.data()) != 1) {
    return Fail<SecretBytes>(error::kCryptoFailed);
  }
  // The plaintext lands in wiping storage; it is handed out only once the tag has been checked,
  // and wiped when it is not.
  SecretBytes plaintext(length);
  int produced = 0;
  const bool authentic =
      AddAssociatedData(context.get(), false, associated) &&
      (length == 0 || (EVP_DecryptUpdate(context.get(), plaintext.data(), &produced, ciphertext,
                                         static_cast<int>(length)) == 1 &&
                       static_cast<size_t>(produced) == length)) &&
      EVP_DecryptFinal_ex(context.get(), plaintext.data() + length, &produced) == 1;
  if (!authentic) {
    plaintext.Wipe();
    return Fail<SecretBytes>(error::kBadRecord);
  }
  return plaintext;
}

}  // namespace kelvadrome
