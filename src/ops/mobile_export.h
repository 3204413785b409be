// The mobile export: one certificate and its RSA private key turned into a single
// password-protected text that a mobile device takes in place of a PFX file.
//
// The plaintext record, every count, length and number most significant byte first:
//   "ORLA" | L (bits, 4) | e (4) | n (L/8) | p | q | d mod (p-1) | d mod (q-1) | q^-1 mod p
//   (L/16 each) | d (L/8) | c (4) | common name (c bytes, process code page, at most 99)
//   | s (4) | serial number (s bytes, as encoded) | SHA-1 thumbprint (20)
//   | not before (14 ASCII digits, local time) | not after (14) | k (4) | certificate DER (k)
// The numbers keep their full width, leading zero bytes included. A validity bound that cannot be
// written in local time is left out (0 bytes instead of 14).
//
// The record is encrypted with three-key triple DES (CBC, zero IV, PKCS #5 padding) under the key
// SHA-1(password bytes in the process code page) followed by "ORLA", and the ciphertext is
// returned as one line of padded Base64.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/outcome.h"
#include "platform/secrets.h"

namespace kelvadrome {

class DialogHost;

struct MobileRecord {
  std::string text;  // the Base64 record; empty on failure
  // ExportMobileFromPfxFile: the PFX file's folder and name (after any dialog) on success.
  std::string folder;
  std::string file_name;
};

using MobileExportOutcome = Outcome<MobileRecord>;

// BuildMobileRecord encrypts the record of |certificate| (DER) and the RSA key of
// |private_key_blob| (a PRIVATEKEYBLOB, little-endian) under |password| (narrow text in the
// process code page) and returns it as Base64 with code 0. Codes on failure (the text then empty,
// platform_error 0): 5063 for a missing or undecodable certificate, a missing or malformed key blob
// (not an RSA private-key blob, or shorter than its bit length requires), a record too large to
// encrypt, or a failed encryption; 5035 for a password too long to digest. The same inputs always
// give the same text. The plaintext and the key are wiped before returning.
//
// Bit lengths that are not a multiple of 16 keep the blob's widths, rounded up: (L+7)/8 bytes for
// n and d, (L+15)/16 for the five half-length numbers, so no byte of the key is lost.
MobileExportOutcome BuildMobileRecord(std::string_view password,
                                      std::span<const uint8_t> certificate,
                                      std::span<const uint8_t> private_key_blob);

struct MobilePfxRequest {
  std::string folder;     // narrow text; empty: asked in the mobile export dialog
  std::string file_name;  // empty: asked
  SecretString password;  // empty: asked (and may stay empty)
  int32_t key_usage = 0;  // above 0: every bit must be in the certificate's key usage
  int32_t min_password_length = 0;
  int32_t max_password_length = 16;
};

// ExportMobileFromPfxFile builds the record of the first certificate of a PFX file whose key can be
// reached and that has the key usage asked for. The file is opened with exportable keys, which
// are forgotten when the call returns. When the dialog is shown, |request| receives the folder,
// name and password it returned. Codes: 0; 5070/5002 (dialog cancelled or unavailable); 5902 (no
// file at the path); the PFX loader's 5005, 5401, 5207, 5208 with its platform error; 5010 (no
// certificate with a usable key); 5017 (key usage); 5204 (the key cannot be reached) and 5205 (it
// cannot be exported), each with the platform error; BuildMobileRecord's codes.
MobileExportOutcome ExportMobileFromPfxFile(MobilePfxRequest& request, DialogHost& host);

struct MobileStoreRequest {
  std::string subject_filter;  // the certificate filter text
  SecretString password;       // empty: asked in the password dialog
  int32_t flags = 0;           // the filter's bits; the low two bits choose (see below)
  int32_t key_usage = 0;
};

// ExportMobileFromStore builds the record of a certificate of "MY" chosen by the filter, with its
// private key. Choice by flags & 3: 1 always shows the certificate list, 2 takes the first
// candidate, 0 and 3 take a sole candidate and show the list for several. The key must belong to
// the certificate (its public half is compared). Codes: 0; 5201 ("MY" not opened, with the
// platform error); the filter's 5010, 5011, 5012, 5017; 5010 (no candidate, or the list cannot
// be shown); 5070 (list or password dialog cancelled); 5002 (password dialog unavailable); 5204
// (the key cannot be reached, or is not the certificate's) and 5205 (it cannot be exported: not
// exportable, or a key-use prompt refused, platform error 1223), each with the platform error;
// BuildMobileRecord's codes.
MobileExportOutcome ExportMobileFromStore(const MobileStoreRequest& request, DialogHost& host);

}  // namespace kelvadrome
