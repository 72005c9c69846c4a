// Payload encryption of gateway datagrams: Curve25519 key agreement and the AES-128-CBC
// envelope that follows the type byte 252. Plain functions on a per-peer context; usable
// without the server (the gateway tool and the tests link it on its own).
//
// Envelope of an n-byte plaintext:
//
//   0                16                                  16 + 16 * (n / 16 + 1)
//   +----------------+-----------------------------------+
//   | IV (16 bytes)  | AES-128-CBC(plaintext || padding) |
//   +----------------+-----------------------------------+
//
// Padding: p = 16 - (n mod 16) bytes of value p (PKCS #7). Decryption examines only the
// last padding byte (1..16), as gateway clients in the field expect.
// Key: the first 16 bytes of the X25519 shared secret, unhashed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

enum CryptoDirection { CryptoEncrypt = 0, CryptoDecrypt = 1 };

constexpr size_t kCryptoKeySize = 32;     // Curve25519 private and public keys
constexpr size_t kCryptoAesKeySize = 16;  // AES-128
constexpr size_t kCryptoBlockSize = 16;
constexpr size_t kCryptoIvSize = 16;

struct CryptoContext;

// Source of key and vector bytes; returns false when it cannot deliver. The default is
// the system's CSPRNG. Tests replace it to make keys reproducible.
using CryptoRandomSource = bool (*)(uint8_t* out, size_t len);
void cryptoSetRandomSource(CryptoRandomSource source);  // nullptr restores the default

// A fresh context with a new key pair; nullptr when memory or randomness fails.
CryptoContext* cryptoNew();
// A context that holds the given AES key and no key pair.
CryptoContext* cryptoNewFromAESKey(const uint8_t key[kCryptoAesKeySize]);
void cryptoFree(CryptoContext* context);

// Key agreement with the peer's public key. False (and the context unusable for the
// envelope) when the key gives an all-zero shared secret (a low-order point) or the
// derivation fails.
bool cryptoSetRemoteKey(CryptoContext* context, const uint8_t peerKey[kCryptoKeySize]);
const uint8_t* cryptoGetPublicKey(const CryptoContext* context);  // 32 bytes
const uint8_t* cryptoGetAESKey(const CryptoContext* context);     // 16 bytes
bool cryptoIsRemoteKeySet(const CryptoContext* context);
// True when both cipher directions are ready for use.
bool checkIfCryptoContextNotNull(const CryptoContext* context);

// Envelope length for a plaintext of the given size: (size & ~15) + 32.
constexpr uint32_t cryptoSizeWithPadding(uint32_t size) {
    return (size & ~uint32_t{15}) + 32;
}

// Encrypts a plaintext into an envelope or decrypts an envelope.
// With output == nullptr the result is allocated with malloc (release with free);
// otherwise the caller guarantees cryptoSizeWithPadding(length) bytes (encrypting) or
// length - 16 bytes (decrypting). Decryption may run in place with output == input + 16.
// Failure: nullptr and *outLength == 0 (ciphertext length not a multiple of 16 or below
// 32, last padding byte 0 or above 16, no randomness, no memory).
uint8_t* cryptoProcessBuf(CryptoContext* context, CryptoDirection direction, const uint8_t* input,
                          uint32_t length, uint8_t* output, uint32_t* outLength);

struct CryptoContextDeleter {
    void operator()(CryptoContext* context) const { cryptoFree(context); }
};
using CryptoContextPtr = std::unique_ptr<CryptoContext, CryptoContextDeleter>;
