// X25519, ChaCha20-Poly1305, BLAKE2s, HMAC, HKDF and keyed BLAKE2s over OpenSSL libcrypto.
#include "protocol/NoiseCrypto.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <sys/random.h>

#include <cerrno>
#include <cstring>

namespace noise {

namespace {

RandomSource randomSource = nullptr;

bool systemRandom(uint8_t* out, size_t length) {
    while (length > 0) {
        const ssize_t got = getrandom(out, length, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        out += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

struct PkeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct PkeyCtxDeleter {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
struct MdCtxDeleter {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct MacCtxDeleter {
    void operator()(EVP_MAC_CTX* ctx) const { EVP_MAC_CTX_free(ctx); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyDeleter>;

PkeyPtr privateKeyObject(const uint8_t* privateKey) {
    return PkeyPtr(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, privateKey, kDhLen));
}

// The BLAKE2s MAC implementation, fetched once; its contexts are made per call.
EVP_MAC* blake2sMac() {
    static EVP_MAC* mac = EVP_MAC_fetch(nullptr, "BLAKE2SMAC", nullptr);
    return mac;
}

}  // namespace

bool randomBytes(uint8_t* out, size_t length) {
    return randomSource != nullptr ? randomSource(out, length) : systemRandom(out, length);
}

void setRandomSource(RandomSource source) {
    randomSource = source;
}

std::optional<KeyPair> keyPairFromPrivate(const uint8_t* privateKey) {
    std::shared_ptr<EVP_PKEY> key(privateKeyObject(privateKey).release(), PkeyDeleter());
    if (!key) {
        return std::nullopt;
    }
    KeyPair pair;
    pair.object = key;
    size_t length = kDhLen;
    if (EVP_PKEY_get_raw_public_key(key.get(), pair.publicKey.data(), &length) != 1 ||
        length != kDhLen) {
        return std::nullopt;
    }
    std::memcpy(pair.privateKey.data(), privateKey, kDhLen);
    return pair;
}

std::optional<KeyPair> generateKeyPair() {
    Secret<kDhLen> privateKey;
    if (!randomBytes(privateKey.data(), kDhLen)) {
        return std::nullopt;
    }
    return keyPairFromPrivate(privateKey.data());
}

bool dh(const KeyPair& own, const uint8_t* peerPublic, Secret<kDhLen>* out) {
    PkeyPtr made;
    EVP_PKEY* ownKey = own.object.get();
    if (ownKey == nullptr) {
        made = privateKeyObject(own.privateKey.data());
        ownKey = made.get();
    }
    PkeyPtr peer(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peerPublic, kDhLen));
    if (ownKey == nullptr || !peer) {
        return false;
    }
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter> ctx(EVP_PKEY_CTX_new(ownKey, nullptr));
    size_t length = kDhLen;
    // OpenSSL's X25519 derivation fails on an all-zero shared secret (a small-order peer key).
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 ||
        EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) != 1 ||
        EVP_PKEY_derive(ctx.get(), out->data(), &length) != 1 || length != kDhLen) {
        out->wipe();
        return false;
    }
    return true;
}

void hash(std::initializer_list<ByteView> parts, uint8_t out[kHashLen]) {
    std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> ctx(EVP_MD_CTX_new());
    unsigned length = 0;
    bool ok = ctx && EVP_DigestInit_ex(ctx.get(), EVP_blake2s256(), nullptr) == 1;
    for (const ByteView& part : parts) {
        ok = ok && EVP_DigestUpdate(ctx.get(), part.data, part.size) == 1;
    }
    ok = ok && EVP_DigestFinal_ex(ctx.get(), out, &length) == 1 && length == kHashLen;
    if (!ok) {
        // Only a failed allocation gets here; a digest nobody can match fails every check.
        std::memset(out, 0, kHashLen);
    }
}

void hmacHash(ByteView key, std::initializer_list<ByteView> parts, uint8_t out[kHashLen]) {
    // RFC 2104 with BLAKE2s: a key longer than the block is hashed first; Noise's keys are
    // never longer than HASHLEN, so that branch only serves completeness.
    Secret<kBlockLen> block;
    if (key.size > kBlockLen) {
        hash({key}, block.data());
    } else {
        std::memcpy(block.data(), key.data, key.size);
    }
    Secret<kBlockLen> pad;
    for (size_t i = 0; i < kBlockLen; ++i) {
        pad.data()[i] = block.data()[i] ^ 0x36;
    }
    std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> ctx(EVP_MD_CTX_new());
    Secret<kHashLen> inner;
    unsigned length = 0;
    bool ok = ctx && EVP_DigestInit_ex(ctx.get(), EVP_blake2s256(), nullptr) == 1 &&
              EVP_DigestUpdate(ctx.get(), pad.data(), kBlockLen) == 1;
    for (const ByteView& part : parts) {
        ok = ok && EVP_DigestUpdate(ctx.get(), part.data, part.size) == 1;
    }
    ok = ok && EVP_DigestFinal_ex(ctx.get(), inner.data(), &length) == 1;
    for (size_t i = 0; i < kBlockLen; ++i) {
        pad.data()[i] = block.data()[i] ^ 0x5c;
    }
    if (!ok) {
        std::memset(out, 0, kHashLen);
        return;
    }
    hash({{pad.data(), kBlockLen}, {inner.data(), kHashLen}}, out);
}

void hkdf(const uint8_t chainingKey[kHashLen], ByteView inputKeyMaterial, uint8_t out1[kHashLen],
          uint8_t out2[kHashLen], uint8_t out3[kHashLen]) {
    Secret<kHashLen> tempKey;
    hmacHash({chainingKey, kHashLen}, {inputKeyMaterial}, tempKey.data());
    const ByteView key{tempKey.data(), kHashLen};
    const uint8_t one = 0x01;
    const uint8_t two = 0x02;
    const uint8_t three = 0x03;
    hmacHash(key, {{&one, 1}}, out1);
    hmacHash(key, {{out1, kHashLen}, {&two, 1}}, out2);
    if (out3 != nullptr) {
        hmacHash(key, {{out2, kHashLen}, {&three, 1}}, out3);
    }
}

bool keyedMac(ByteView key, std::initializer_list<ByteView> parts, uint8_t out[kMacLen]) {
    EVP_MAC* mac = blake2sMac();
    if (mac == nullptr || key.size == 0 || key.size > kHashLen) {
        return false;
    }
    std::unique_ptr<EVP_MAC_CTX, MacCtxDeleter> ctx(EVP_MAC_CTX_new(mac));
    size_t outputSize = kMacLen;
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_size_t(OSSL_MAC_PARAM_SIZE, &outputSize),
                                 OSSL_PARAM_construct_end()};
    bool ok = ctx && EVP_MAC_init(ctx.get(), key.data, key.size, params) == 1;
    for (const ByteView& part : parts) {
        ok = ok && EVP_MAC_update(ctx.get(), part.data, part.size) == 1;
    }
    size_t length = 0;
    ok = ok && EVP_MAC_final(ctx.get(), out, &length, kMacLen) == 1 && length == kMacLen;
    return ok;
}

struct Aead::Context {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    bool keyed = false;
    ~Context() { EVP_CIPHER_CTX_free(ctx); }
};

Aead::Aead() : context_(std::make_unique<Context>()) {}
Aead::~Aead() = default;
Aead::Aead(Aead&&) noexcept = default;
Aead& Aead::operator=(Aead&&) noexcept = default;

bool Aead::setKey(const uint8_t key[kKeyLen]) {
    // The context keeps the key schedule; each message only sets its nonce and direction.
    context_->keyed =
        context_->ctx != nullptr &&
        EVP_CipherInit_ex(context_->ctx, EVP_chacha20_poly1305(), nullptr, key, nullptr, 1) == 1;
    return context_->keyed;
}

bool Aead::seal(const uint8_t nonce[kAeadNonceLen], ByteView ad, ByteView plain, uint8_t* out) {
    EVP_CIPHER_CTX* ctx = context_->ctx;
    if (!context_->keyed || plain.size > kMaxAeadInput || ad.size > kMaxAeadInput) {
        return false;
    }
    int length = 0;
    if (EVP_CipherInit_ex(ctx, nullptr, nullptr, nullptr, nonce, 1) != 1 ||
        (ad.size > 0 &&
         EVP_CipherUpdate(ctx, nullptr, &length, ad.data, static_cast<int>(ad.size)) != 1)) {
        return false;
    }
    if (plain.size > 0 &&
        EVP_CipherUpdate(ctx, out, &length, plain.data, static_cast<int>(plain.size)) != 1) {
        return false;
    }
    return EVP_CipherFinal_ex(ctx, out + plain.size, &length) == 1 &&
           EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, static_cast<int>(kTagLen),
                               out + plain.size) == 1;
}

bool Aead::open(const uint8_t nonce[kAeadNonceLen], ByteView ad, ByteView sealed, uint8_t* out) {
    EVP_CIPHER_CTX* ctx = context_->ctx;
    if (!context_->keyed || sealed.size < kTagLen || sealed.size > kMaxAeadInput + kTagLen ||
        ad.size > kMaxAeadInput) {
        return false;
    }
    const size_t cipherLength = sealed.size - kTagLen;
    uint8_t tag[kTagLen];
    std::memcpy(tag, sealed.data + cipherLength, kTagLen);
    int length = 0;
    if (EVP_CipherInit_ex(ctx, nullptr, nullptr, nullptr, nonce, 0) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, static_cast<int>(kTagLen), tag) != 1 ||
        (ad.size > 0 &&
         EVP_CipherUpdate(ctx, nullptr, &length, ad.data, static_cast<int>(ad.size)) != 1)) {
        return false;
    }
    if (cipherLength > 0 &&
        EVP_CipherUpdate(ctx, out, &length, sealed.data, static_cast<int>(cipherLength)) != 1) {
        return false;
    }
    if (EVP_CipherFinal_ex(ctx, out + cipherLength, &length) != 1) {
        // Plaintext that did not authenticate never reaches the caller.
        OPENSSL_cleanse(out, cipherLength);
        return false;
    }
    return true;
}

void noiseNonce(uint64_t counter, uint8_t out[kAeadNonceLen]) {
    std::memset(out, 0, 4);
    for (size_t i = 0; i < 8; ++i) {
        out[4 + i] = static_cast<uint8_t>(counter >> (8 * i));
    }
}

}  // namespace noise
