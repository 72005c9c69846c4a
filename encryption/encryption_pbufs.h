// The envelope on the workers' TCP stack buffer chains: encrypts or decrypts the bytes of a
// chain from an offset into one new contiguous buffer, without gathering the chain first.
#pragma once

#include <cstdint>

#include "encryption.h"

struct pbuf;

// Encrypting: the result holds outOffset bytes left for the caller (e.g. a type byte), then
// the vector and the ciphertext of the chain's bytes from inOffset on, padded.
// Decrypting: the bytes from inOffset on are a vector and whole blocks (at least 32 bytes,
// a multiple of 16); the result holds outOffset free bytes, then the plaintext.
// Nothing when the input does not qualify, the result would exceed a buffer's 65535 bytes,
// the last padding byte is 0 or above 16, or memory or randomness fails. The input chain is
// neither changed nor released; the caller releases the result with pbuf_free.
struct pbuf* cryptoProcessPBufs(CryptoContext* context, CryptoDirection direction,
                                const struct pbuf* input, uint32_t inOffset, uint32_t outOffset);
