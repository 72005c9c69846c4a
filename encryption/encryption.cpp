// Payload encryption of gateway datagrams on OpenSSL libcrypto: X25519 key agreement and the
// AES-128-CBC envelope with its own padding handling.
#include "encryption.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "encryption_internal.h"

namespace {

struct CipherDeleter {
    void operator()(EVP_CIPHER_CTX* cipher) const { EVP_CIPHER_CTX_free(cipher); }
};
using CipherPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherDeleter>;

}  // namespace

// Owned by the caller through cryptoNew / cryptoFree; owns its two cipher handles.
struct CryptoContext {
    uint8_t localPrivateKey[kCryptoKeySize];
    uint8_t localPublicKey[kCryptoKeySize];
    uint8_t remotePublicKey[kCryptoKeySize];
    uint8_t aesKey[kCryptoAesKeySize];
    // Keyed once at set-up; each message only installs its own vector, so the key schedule
    // is not rebuilt per datagram. Both are null until the context has an AES key.
    CipherPtr enc;
    CipherPtr dec;
};

namespace {

// EVP takes int lengths; a long buffer goes through in pieces that keep the CBC chain.
constexpr size_t kMaxCipherChunk = (INT_MAX / kCryptoBlockSize) * kCryptoBlockSize;

bool systemRandom(uint8_t* out, size_t len) {
    while (len > 0) {
        const size_t piece = len < static_cast<size_t>(INT_MAX) ? len : INT_MAX;
        if (RAND_bytes(out, static_cast<int>(piece)) != 1) {
            return false;
        }
        out += piece;
        len -= piece;
    }
    return true;
}

CryptoRandomSource randomSource = systemRandom;

bool isAllZero(const uint8_t* bytes, size_t len) {
    uint8_t acc = 0;
    for (size_t i = 0; i < len; ++i) {
        acc |= bytes[i];
    }
    return acc == 0;
}

// RAII for the EVP handles used only during key agreement.
struct PkeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct PkeyCtxDeleter {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyDeleter>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter>;

// Module-owned padding: EVP's own padding would hold back the last block on decryption and
// compare every padding byte, which gateway clients in the field do not expect.
CipherPtr newCipher(const uint8_t key[kCryptoAesKeySize], int encrypt) {
    CipherPtr cipher(EVP_CIPHER_CTX_new());
    if (cipher == nullptr ||
        EVP_CipherInit_ex(cipher.get(), EVP_aes_128_cbc(), nullptr, key, nullptr, encrypt) != 1 ||
        EVP_CIPHER_CTX_set_padding(cipher.get(), 0) != 1) {
        return nullptr;
    }
    return cipher;
}

void releaseCiphers(CryptoContext* context) {
    context->enc.reset();
    context->dec.reset();
}

// Replaces the context's AES key and both cipher directions; on failure the context is left
// without ciphers so that it cannot be used for the envelope.
bool installAesKey(CryptoContext* context, const uint8_t key[kCryptoAesKeySize]) {
    releaseCiphers(context);
    std::memcpy(context->aesKey, key, kCryptoAesKeySize);
    context->enc = newCipher(context->aesKey, 1);
    context->dec = newCipher(context->aesKey, 0);
    if (context->enc == nullptr || context->dec == nullptr) {
        releaseCiphers(context);
        OPENSSL_cleanse(context->aesKey, kCryptoAesKeySize);
        return false;
    }
    return true;
}

uint8_t* fail(uint32_t* outLength) {
    *outLength = 0;
    return nullptr;
}

uint8_t* encryptEnvelope(CryptoContext* context, const uint8_t* input, uint32_t length,
                         uint8_t* output, uint32_t* outLength) {
    // The envelope length must fit the 32-bit result.
    if (length > UINT32_MAX - 2 * kCryptoBlockSize) {
        return fail(outLength);
    }
    const uint32_t size = cryptoSizeWithPadding(length);
    uint8_t iv[kCryptoIvSize];
    if (!randomSource(iv, sizeof iv)) {
        return fail(outLength);
    }
    const bool allocated = output == nullptr;
    if (allocated) {
        output = static_cast<uint8_t*>(std::malloc(size));
        if (output == nullptr) {
            return fail(outLength);
        }
    }

    const size_t whole = length & ~(kCryptoBlockSize - 1);
    const size_t tail = length - whole;
    uint8_t last[kCryptoBlockSize];
    if (tail > 0) {
        std::memcpy(last, input + whole, tail);
    }
    const uint8_t pad = static_cast<uint8_t>(kCryptoBlockSize - tail);
    std::memset(last + tail, pad, pad);

    std::memcpy(output, iv, kCryptoIvSize);
    uint8_t* body = output + kCryptoIvSize;
    const bool ok =
        crypto_internal::startMessage(context->enc.get(), iv) &&
        crypto_internal::cbcBlocks(context->enc.get(), body, input, whole) &&
        crypto_internal::cbcBlocks(context->enc.get(), body + whole, last, kCryptoBlockSize);
    OPENSSL_cleanse(last, sizeof last);
    if (!ok) {
        if (allocated) {
            std::free(output);
        }
        return fail(outLength);
    }
    *outLength = size;
    return output;
}

uint8_t* decryptEnvelope(CryptoContext* context, const uint8_t* input, uint32_t length,
                         uint8_t* output, uint32_t* outLength) {
    if (length % kCryptoBlockSize != 0 || length < kCryptoIvSize + kCryptoBlockSize) {
        return fail(outLength);
    }
    const uint32_t bodyLength = length - kCryptoIvSize;
    // Copied out first: the caller may decrypt in place, straight over the ciphertext.
    uint8_t iv[kCryptoIvSize];
    std::memcpy(iv, input, kCryptoIvSize);
    const bool allocated = output == nullptr;
    if (allocated) {
        output = static_cast<uint8_t*>(std::malloc(bodyLength));
        if (output == nullptr) {
            return fail(outLength);
        }
    }

    bool ok =
        crypto_internal::startMessage(context->dec.get(), iv) &&
        crypto_internal::cbcBlocks(context->dec.get(), output, input + kCryptoIvSize, bodyLength);
    // Only the last padding byte is examined; the others are not compared.
    const uint8_t pad = ok ? output[bodyLength - 1] : 0;
    ok = ok && pad != 0 && pad <= kCryptoBlockSize;
    if (!ok) {
        if (allocated) {
            std::free(output);
        }
        return fail(outLength);
    }
    *outLength = bodyLength - pad;
    return output;
}

}  // namespace

namespace crypto_internal {

// Runs whole blocks through CBC; the chaining value carries across the pieces.
bool cbcBlocks(EVP_CIPHER_CTX* cipher, uint8_t* out, const uint8_t* in, size_t len) {
    while (len > 0) {
        const size_t piece = len < kMaxCipherChunk ? len : kMaxCipherChunk;
        int written = 0;
        if (EVP_CipherUpdate(cipher, out, &written, in, static_cast<int>(piece)) != 1 ||
            static_cast<size_t>(written) != piece) {
            return false;
        }
        out += piece;
        in += piece;
        len -= piece;
    }
    return true;
}

bool startMessage(EVP_CIPHER_CTX* cipher, const uint8_t iv[kCryptoIvSize]) {
    // Key and direction stay as set up; only the vector (and the chaining state) is reset.
    return EVP_CipherInit_ex(cipher, nullptr, nullptr, nullptr, iv, -1) == 1;
}

bool drawVector(uint8_t iv[kCryptoIvSize]) {
    return randomSource(iv, kCryptoIvSize);
}

EVP_CIPHER_CTX* cipherFor(CryptoContext* context, CryptoDirection direction) {
    if (!checkIfCryptoContextNotNull(context)) {
        return nullptr;
    }
    return direction == CryptoEncrypt ? context->enc.get() : context->dec.get();
}

}  // namespace crypto_internal

void cryptoSetRandomSource(CryptoRandomSource source) {
    randomSource = source != nullptr ? source : systemRandom;
}

CryptoContext* cryptoNew() {
    CryptoContext* context = new (std::nothrow) CryptoContext{};
    if (context == nullptr) {
        return nullptr;
    }
    uint8_t* priv = context->localPrivateKey;
    if (!randomSource(priv, kCryptoKeySize)) {
        cryptoFree(context);
        return nullptr;
    }
    // Curve25519 clamping: a multiple of the cofactor 8 with the top bit fixed at 254.
    priv[0] &= 248;
    priv[31] &= 127;
    priv[31] |= 64;

    PkeyPtr key(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, priv, kCryptoKeySize));
    size_t publicLength = kCryptoKeySize;
    if (key == nullptr ||
        EVP_PKEY_get_raw_public_key(key.get(), context->localPublicKey, &publicLength) != 1 ||
        publicLength != kCryptoKeySize) {
        cryptoFree(context);
        return nullptr;
    }
    return context;
}

CryptoContext* cryptoNewFromAESKey(const uint8_t key[kCryptoAesKeySize]) {
    CryptoContext* context = new (std::nothrow) CryptoContext{};
    if (context == nullptr) {
        return nullptr;
    }
    if (!installAesKey(context, key)) {
        cryptoFree(context);
        return nullptr;
    }
    return context;
}

void cryptoFree(CryptoContext* context) {
    if (context == nullptr) {
        return;
    }
    releaseCiphers(context);
    OPENSSL_cleanse(context->localPrivateKey, kCryptoKeySize);
    OPENSSL_cleanse(context->aesKey, kCryptoAesKeySize);
    delete context;
}

bool cryptoSetRemoteKey(CryptoContext* context, const uint8_t peerKey[kCryptoKeySize]) {
    if (context == nullptr) {
        return false;
    }
    std::memcpy(context->remotePublicKey, peerKey, kCryptoKeySize);
    releaseCiphers(context);
    OPENSSL_cleanse(context->aesKey, kCryptoAesKeySize);
    // A clamped private key always has bit 254 set; all zero means a context built from an
    // AES key, which has no key pair to agree with.
    if (isAllZero(context->localPrivateKey, kCryptoKeySize)) {
        return false;
    }

    PkeyPtr own(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, context->localPrivateKey,
                                             kCryptoKeySize));
    PkeyPtr peer(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peerKey, kCryptoKeySize));
    if (own == nullptr || peer == nullptr) {
        return false;
    }
    PkeyCtxPtr derive(EVP_PKEY_CTX_new(own.get(), nullptr));
    uint8_t secret[kCryptoKeySize];
    size_t secretLength = sizeof secret;
    // OpenSSL already fails the derivation for an all-zero result; checked again here so that
    // a low-order peer point never yields a usable (and predictable) key.
    const bool derived = derive != nullptr && EVP_PKEY_derive_init(derive.get()) == 1 &&
                         EVP_PKEY_derive_set_peer(derive.get(), peer.get()) == 1 &&
                         EVP_PKEY_derive(derive.get(), secret, &secretLength) == 1 &&
                         secretLength == kCryptoKeySize && !isAllZero(secret, kCryptoKeySize);
    // The AES key is the first half of the shared secret, unhashed, as the clients derive it.
    const bool ok = derived && installAesKey(context, secret);
    OPENSSL_cleanse(secret, sizeof secret);
    return ok;
}

const uint8_t* cryptoGetPublicKey(const CryptoContext* context) {
    return context != nullptr ? context->localPublicKey : nullptr;
}

const uint8_t* cryptoGetAESKey(const CryptoContext* context) {
    return context != nullptr ? context->aesKey : nullptr;
}

bool cryptoIsRemoteKeySet(const CryptoContext* context) {
    return context != nullptr && !isAllZero(context->remotePublicKey, kCryptoKeySize);
}

bool checkIfCryptoContextNotNull(const CryptoContext* context) {
    return context != nullptr && context->enc != nullptr && context->dec != nullptr;
}

uint8_t* cryptoProcessBuf(CryptoContext* context, CryptoDirection direction, const uint8_t* input,
                          uint32_t length, uint8_t* output, uint32_t* outLength) {
    if (outLength == nullptr) {
        return nullptr;
    }
    if (!checkIfCryptoContextNotNull(context) || (input == nullptr && length > 0)) {
        return fail(outLength);
    }
    switch (direction) {
        case CryptoEncrypt:
            return encryptEnvelope(context, input, length, output, outLength);
        case CryptoDecrypt:
            return decryptEnvelope(context, input, length, output, outLength);
    }
    return fail(outLength);
}
