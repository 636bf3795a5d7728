// The encrypted container of tour files over OpenSSL's EVP interface.
#include "tools/tour_crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstring>
#include <vector>

const char kObfuscationPassword[] = "qorveltools obfuscation - this is not a secret";
const char kKeyCheckLabel[] = "qorveltools key check";

namespace {

const uint8_t kMagic[4] = {'Q', 'V', 'E', 'F'};

void crypto_put_u32(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value >> 24);
  out[1] = static_cast<uint8_t>(value >> 16);
  out[2] = static_cast<uint8_t>(value >> 8);
  out[3] = static_cast<uint8_t>(value);
}

uint32_t crypto_get_u32(const uint8_t* in) {
  return (uint32_t(in[0]) << 24) | (uint32_t(in[1]) << 16) | (uint32_t(in[2]) << 8) | in[3];
}

void crypto_write_header(const TourKey& key, const uint8_t nonce[kCryptoNonceSize], uint8_t* out) {
  memcpy(out, kMagic, 4);
  out[4] = kCryptoVersion;
  out[5] = static_cast<uint8_t>(key.mode);
  out[6] = 0;
  out[7] = 0;
  crypto_put_u32(out + 8, key.iterations);
  memcpy(out + 12, key.salt, kCryptoSaltSize);
  memcpy(out + 28, key.key_check, 16);
  memcpy(out + 44, nonce, kCryptoNonceSize);
}

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};

// One AES-256-GCM pass: encrypts (or decrypts) size bytes of in into out with the additional data
// given in two pieces; on encryption writes the tag, on decryption checks it.
bool crypto_gcm(EVP_CIPHER_CTX* context, bool encrypt, const uint8_t* key, const uint8_t* nonce,
                const uint8_t* aad1, size_t aad1_size, const uint8_t* aad2, size_t aad2_size,
                const uint8_t* in, size_t size, uint8_t* out, uint8_t* tag, bool* tag_ok) {
  if (tag_ok) *tag_ok = false;
  if (EVP_CipherInit_ex(context, EVP_aes_256_gcm(), nullptr, nullptr, nullptr, encrypt ? 1 : 0) != 1)
    return false;
  if (EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_SET_IVLEN, int(kCryptoNonceSize), nullptr) != 1)
    return false;
  if (EVP_CipherInit_ex(context, nullptr, nullptr, key, nonce, -1) != 1) return false;
  int length = 0;
  if (aad1_size && EVP_CipherUpdate(context, nullptr, &length, aad1, int(aad1_size)) != 1)
    return false;
  if (aad2_size && EVP_CipherUpdate(context, nullptr, &length, aad2, int(aad2_size)) != 1)
    return false;
  // EVP lengths are int: feed large files in pieces.
  const size_t kPiece = size_t(1) << 30;
  for (size_t done = 0; done < size;) {
    const size_t piece = size - done < kPiece ? size - done : kPiece;
    if (EVP_CipherUpdate(context, out + done, &length, in + done, int(piece)) != 1) return false;
    done += piece;
  }
  uint8_t scratch[16];
  if (encrypt) {
    if (EVP_CipherFinal_ex(context, scratch, &length) != 1) return false;
    return EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_GET_TAG, int(kCryptoTagSize), tag) == 1;
  }
  if (EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_SET_TAG, int(kCryptoTagSize), tag) != 1)
    return false;
  if (tag_ok) *tag_ok = EVP_CipherFinal_ex(context, scratch, &length) == 1;
  return true;
}

}  // namespace

struct CryptoContext {
  std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree> cipher{EVP_CIPHER_CTX_new()};
};

void CryptoContextDeleter::operator()(CryptoContext* context) const {
  delete context;
}

CryptoContext* crypto_context_create() {
  CryptoContext* context = new CryptoContext;
  if (!context->cipher) {
    delete context;
    return nullptr;
  }
  return context;
}

bool crypto_is_sealed(const void* data, size_t size) {
  return size >= 4 && memcmp(data, kMagic, 4) == 0;
}

CryptoStatus crypto_read_header(const void* data, size_t size, CryptoHeader* header) {
  if (!crypto_is_sealed(data, size)) return CryptoStatus::NotSealed;
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  if (size >= 5 && bytes[4] != kCryptoVersion) return CryptoStatus::UnknownVersion;
  if (size < kCryptoHeaderSize + kCryptoTagSize) return CryptoStatus::Truncated;
  header->version = bytes[4];
  if (bytes[5] != uint8_t(CryptoMode::Password) && bytes[5] != uint8_t(CryptoMode::Obfuscation))
    return CryptoStatus::UnknownVersion;
  if (bytes[6] != 0 || bytes[7] != 0) return CryptoStatus::UnknownVersion;
  header->mode = static_cast<CryptoMode>(bytes[5]);
  header->iterations = crypto_get_u32(bytes + 8);
  if (header->iterations < kMinimumIterations || header->iterations > kMaximumIterations)
    return CryptoStatus::UnknownVersion;
  memcpy(header->salt, bytes + 12, kCryptoSaltSize);
  memcpy(header->key_check, bytes + 28, 16);
  memcpy(header->nonce, bytes + 44, kCryptoNonceSize);
  return CryptoStatus::Ok;
}

bool tour_key_derive(const std::string& password, CryptoMode mode, uint32_t iterations,
                     const uint8_t salt[kCryptoSaltSize], TourKey* key) {
  *key = TourKey();
  key->mode = mode;
  key->iterations = iterations;
  memcpy(key->salt, salt, kCryptoSaltSize);
  if (PKCS5_PBKDF2_HMAC(password.data(), int(password.size()), salt, int(kCryptoSaltSize),
                        int(iterations), EVP_sha256(), 32, key->key) != 1)
    return false;
  std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree> context(EVP_CIPHER_CTX_new());
  if (!context) return false;
  const uint8_t zero_nonce[kCryptoNonceSize] = {};
  if (!crypto_gcm(context.get(), true, key->key, zero_nonce,
                  reinterpret_cast<const uint8_t*>(kKeyCheckLabel), strlen(kKeyCheckLabel),
                  nullptr, 0, nullptr, 0, nullptr, key->key_check, nullptr))
    return false;
  key->valid = true;
  return true;
}

bool tour_key_create(const std::string& password, CryptoMode mode, uint32_t iterations,
                     TourKey* key) {
  uint8_t salt[kCryptoSaltSize];
  if (RAND_bytes(salt, int(kCryptoSaltSize)) != 1) return false;
  if (iterations == 0)
    iterations = mode == CryptoMode::Password ? kPasswordIterations : kObfuscationIterations;
  return tour_key_derive(password, mode, iterations, salt, key);
}

bool tour_key_fits(const TourKey& key, const CryptoHeader& header) {
  return key.valid && key.mode == header.mode && key.iterations == header.iterations &&
         memcmp(key.salt, header.salt, kCryptoSaltSize) == 0 &&
         CRYPTO_memcmp(key.key_check, header.key_check, 16) == 0;
}

std::string tour_path_normalise(const std::string& path) {
  std::vector<std::string> parts;
  std::string part;
  auto flush = [&]() {
    if (part.empty() || part == ".") {
    } else if (part == ".." && !parts.empty() && parts.back() != "..") {
      parts.pop_back();
    } else {
      parts.push_back(part);
    }
    part.clear();
  };
  for (char c : path) {
    if (c == '/' || c == '\\') {
      flush();
    } else {
      part += c;
    }
  }
  flush();
  std::string result;
  for (const std::string& p : parts) {
    if (!result.empty()) result += '/';
    result += p;
  }
  return result;
}

bool tour_seal(CryptoContext* context, const TourKey& key, const std::string& path_in_tour,
               const void* plain, size_t size, std::string* sealed) {
  if (!context || !key.valid) return false;
  uint8_t nonce[kCryptoNonceSize];
  if (RAND_bytes(nonce, int(kCryptoNonceSize)) != 1) return false;
  sealed->resize(kCryptoHeaderSize + size + kCryptoTagSize);
  uint8_t* out = reinterpret_cast<uint8_t*>(&(*sealed)[0]);
  crypto_write_header(key, nonce, out);
  const std::string path = tour_path_normalise(path_in_tour);
  return crypto_gcm(context->cipher.get(), true, key.key, nonce, out, kCryptoHeaderSize,
                    reinterpret_cast<const uint8_t*>(path.data()), path.size(),
                    static_cast<const uint8_t*>(plain), size, out + kCryptoHeaderSize,
                    out + kCryptoHeaderSize + size, nullptr);
}

CryptoStatus tour_open(CryptoContext* context, const TourKey& key, const std::string& path_in_tour,
                       const void* sealed, size_t size, std::string* plain) {
  CryptoHeader header;
  const CryptoStatus status = crypto_read_header(sealed, size, &header);
  if (status != CryptoStatus::Ok) return status;
  if (!tour_key_fits(key, header)) return CryptoStatus::WrongKey;
  if (!context) return CryptoStatus::Failed;
  const uint8_t* in = static_cast<const uint8_t*>(sealed);
  const size_t body = size - kCryptoHeaderSize - kCryptoTagSize;
  plain->resize(body);
  uint8_t tag[kCryptoTagSize];
  memcpy(tag, in + size - kCryptoTagSize, kCryptoTagSize);
  const std::string path = tour_path_normalise(path_in_tour);
  bool tag_ok = false;
  if (!crypto_gcm(context->cipher.get(), false, key.key, header.nonce, in, kCryptoHeaderSize,
                  reinterpret_cast<const uint8_t*>(path.data()), path.size(),
                  in + kCryptoHeaderSize, body, reinterpret_cast<uint8_t*>(&(*plain)[0]), tag,
                  &tag_ok))
    return CryptoStatus::Failed;
  if (!tag_ok) {
    OPENSSL_cleanse(&(*plain)[0], plain->size());
    plain->clear();
    return CryptoStatus::Damaged;
  }
  return CryptoStatus::Ok;
}
