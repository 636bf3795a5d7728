// The encrypted container of tour files: PBKDF2-HMAC-SHA256 key derivation and AES-256-GCM
// through OpenSSL's libcrypto (EVP). No cryptographic primitive is implemented here.
//
// Layout of a sealed file (all integers big-endian; see the README's "encrypt" section):
//    0   4  magic "QVEF"
//    4   1  format version (1)
//    5   1  mode: 1 password, 2 obfuscation (key derived from a password built into the viewer)
//    6   2  zero
//    8   4  PBKDF2 iteration count
//   12  16  PBKDF2 salt
//   28  16  key check: the GCM tag of an empty text under the all-zero nonce with additional
//           data "qorveltools key check", so a wrong password is told from an altered file
//   44  12  GCM nonce (random per file)
//   56   n  ciphertext (as long as the plain file)
//   end 16  GCM tag
// The additional data of the file is the 56 header bytes followed by the file's path within the
// tour (UTF-8, "/" separators, no "./"), so a file cannot be swapped for another or re-labelled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

enum class CryptoMode : uint8_t { Password = 1, Obfuscation = 2 };

constexpr size_t kCryptoHeaderSize = 56;
constexpr size_t kCryptoTagSize = 16;
constexpr size_t kCryptoSaltSize = 16;
constexpr size_t kCryptoNonceSize = 12;
constexpr uint8_t kCryptoVersion = 1;
constexpr uint32_t kPasswordIterations = 600000;
// The obfuscation key is public (the viewer carries its password), so its derivation is cheap.
constexpr uint32_t kObfuscationIterations = 1000;
// Iteration counts outside this range are refused when reading a header.
constexpr uint32_t kMinimumIterations = 1000;
constexpr uint32_t kMaximumIterations = 10000000;

// The password of obfuscation mode, the same in the viewer. Not a secret.
extern const char kObfuscationPassword[];
// Additional data of the key check.
extern const char kKeyCheckLabel[];

// A derived key with the parameters it came from.
struct TourKey {
  CryptoMode mode = CryptoMode::Password;
  uint32_t iterations = 0;
  uint8_t salt[kCryptoSaltSize] = {};
  uint8_t key[32] = {};         // AES-256 key
  uint8_t key_check[16] = {};   // see the layout above
  bool valid = false;
};

// The fixed fields of a sealed file.
struct CryptoHeader {
  uint8_t version = 0;
  CryptoMode mode = CryptoMode::Password;
  uint32_t iterations = 0;
  uint8_t salt[kCryptoSaltSize] = {};
  uint8_t key_check[16] = {};
  uint8_t nonce[kCryptoNonceSize] = {};
};

enum class CryptoStatus {
  Ok,
  NotSealed,       // no magic word: a plain file
  Truncated,       // shorter than header and tag
  UnknownVersion,  // a version, mode or parameter this build does not read
  WrongKey,        // the key check differs: wrong password (or an altered header)
  Damaged,         // the key is right but the tag does not match: altered or truncated data
  Failed,          // the library failed (out of memory, no randomness)
};

// True when data begins with the magic word.
bool crypto_is_sealed(const void* data, size_t size);

// Reads and checks the header fields.
CryptoStatus crypto_read_header(const void* data, size_t size, CryptoHeader* header);

// Derives a key (PBKDF2-HMAC-SHA256) for the salt and iterations given.
bool tour_key_derive(const std::string& password, CryptoMode mode, uint32_t iterations,
                     const uint8_t salt[kCryptoSaltSize], TourKey* key);
// A key with a fresh random salt and the mode's iteration count (iterations 0: the default).
bool tour_key_create(const std::string& password, CryptoMode mode, uint32_t iterations,
                     TourKey* key);
// Whether key was derived with the parameters of header and matches its key check.
bool tour_key_fits(const TourKey& key, const CryptoHeader& header);

// Normalises a path within the tour: backslashes become "/", "./" parts and empty parts go,
// "dir/.." pairs collapse.
std::string tour_path_normalise(const std::string& path);

// Reusable cipher state (one per thread); the EVP context is created on first use.
struct CryptoContext;
struct CryptoContextDeleter {
  void operator()(CryptoContext* context) const;
};
CryptoContext* crypto_context_create();
using CryptoContextPtr = std::unique_ptr<CryptoContext, CryptoContextDeleter>;

// Seals plain (size bytes) for path_in_tour into *sealed (replaced). False on a library failure.
bool tour_seal(CryptoContext* context, const TourKey& key, const std::string& path_in_tour,
               const void* plain, size_t size, std::string* sealed);
// Opens a sealed file into *plain (replaced). The key must fit the header (else WrongKey).
CryptoStatus tour_open(CryptoContext* context, const TourKey& key, const std::string& path_in_tour,
                       const void* sealed, size_t size, std::string* plain);
