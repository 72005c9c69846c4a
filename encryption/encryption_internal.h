// Pieces of the crypto module shared by its units (the contiguous and the buffer-chain
// envelope); not part of the module's interface.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>

#include "encryption.h"

namespace crypto_internal {

// A fresh vector from the module's random source.
bool drawVector(uint8_t iv[kCryptoIvSize]);
// The keyed cipher of one direction, or nullptr when the context has no AES key yet.
EVP_CIPHER_CTX* cipherFor(CryptoContext* context, CryptoDirection direction);
// Starts a message: the key stays, the vector (and the chaining value) is set.
bool startMessage(EVP_CIPHER_CTX* cipher, const uint8_t iv[kCryptoIvSize]);
// Runs whole blocks through CBC, carrying the chaining value across calls.
bool cbcBlocks(EVP_CIPHER_CTX* cipher, uint8_t* out, const uint8_t* in, size_t len);

}  // namespace crypto_internal
