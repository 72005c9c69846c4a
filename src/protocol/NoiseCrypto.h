// The cryptographic functions of Noise_IK_25519_ChaChaPoly_BLAKE2s and of the handshake's
// cookie scheme, on OpenSSL 3 libcrypto: X25519, ChaCha20-Poly1305, BLAKE2s, HMAC-BLAKE2s,
// HKDF and keyed BLAKE2s-128. Used by NoiseHandshake (the Noise state machine),
// HandshakeCookie (mac1, mac2, cookie replies), NoiseTransport (the data path) and the key
// tools. Secrets live in Secret<N>, which wipes itself; nothing here throws on bad input:
// failures return false or an absent result.
#pragma once

#include <openssl/crypto.h>
#include <openssl/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>

namespace noise {

constexpr size_t kDhLen = 32;     // X25519 keys and shared secrets
constexpr size_t kHashLen = 32;   // BLAKE2s-256
constexpr size_t kBlockLen = 64;  // BLAKE2s' block, the HMAC block size
constexpr size_t kKeyLen = 32;    // ChaCha20-Poly1305 keys
constexpr size_t kTagLen = 16;    // Poly1305 tag
constexpr size_t kAeadNonceLen = 12;
constexpr size_t kMacLen = 16;  // keyed BLAKE2s-128 of mac1, mac2 and cookies
// The largest AEAD input handled: well above any datagram; keeps lengths inside OpenSSL's int.
constexpr size_t kMaxAeadInput = 65535;

// Bytes not owned: a pointer and a length.
struct ByteView {
    const uint8_t* data = nullptr;
    size_t size = 0;
};

// A fixed-size secret, wiped when destroyed or overwritten by assignment.
template <size_t N>
class Secret {
  public:
    Secret() = default;
    Secret(const Secret& other) : bytes_(other.bytes_) {}
    Secret& operator=(const Secret& other) {
        bytes_ = other.bytes_;
        return *this;
    }
    ~Secret() { OPENSSL_cleanse(bytes_.data(), N); }
    uint8_t* data() { return bytes_.data(); }
    const uint8_t* data() const { return bytes_.data(); }
    static constexpr size_t size() { return N; }
    void wipe() { OPENSSL_cleanse(bytes_.data(), N); }

  private:
    std::array<uint8_t, N> bytes_{};
};

using SecretKey = Secret<kKeyLen>;
using PublicKey = std::array<uint8_t, kDhLen>;

struct KeyPair {
    Secret<kDhLen> privateKey;
    PublicKey publicKey{};
    // OpenSSL's object of the private key, shared by copies: making one computes the public
    // key again, which would double the cost of every derivation.
    std::shared_ptr<EVP_PKEY> object;
};

// Random bytes from the system's CSPRNG (getrandom); false when it cannot deliver. Tests may
// replace the source to make indices, ephemeral keys and cookie secrets reproducible.
using RandomSource = bool (*)(uint8_t* out, size_t length);
bool randomBytes(uint8_t* out, size_t length);
void setRandomSource(RandomSource source);  // nullptr restores the system's

// A key pair from fresh random bytes, or from a given private key.
std::optional<KeyPair> generateKeyPair();
std::optional<KeyPair> keyPairFromPrivate(const uint8_t* privateKey);

// X25519 of our private key and the peer's public key. False for a peer key of small order
// (all-zero result), which Noise lets an implementation refuse and WireGuard refuses.
bool dh(const KeyPair& own, const uint8_t* peerPublic, Secret<kDhLen>* out);

// BLAKE2s-256 over the concatenation of parts.
void hash(std::initializer_list<ByteView> parts, uint8_t out[kHashLen]);

// HMAC-BLAKE2s (RFC 2104 with the 64-byte block) over the concatenation of parts.
void hmacHash(ByteView key, std::initializer_list<ByteView> parts, uint8_t out[kHashLen]);

// Noise's HKDF(chaining_key, input_key_material, num_outputs): out3 may be null (two outputs).
void hkdf(const uint8_t chainingKey[kHashLen], ByteView inputKeyMaterial, uint8_t out1[kHashLen],
          uint8_t out2[kHashLen], uint8_t out3[kHashLen] = nullptr);

// Keyed BLAKE2s with a 16-byte output (a key of 1 to 32 bytes): mac1, mac2 and cookies.
bool keyedMac(ByteView key, std::initializer_list<ByteView> parts, uint8_t out[kMacLen]);

// ChaCha20-Poly1305 under one key, reusing one OpenSSL context for every message.
class Aead {
  public:
    Aead();
    ~Aead();
    Aead(Aead&&) noexcept;
    Aead& operator=(Aead&&) noexcept;
    Aead(const Aead&) = delete;
    Aead& operator=(const Aead&) = delete;

    bool setKey(const uint8_t key[kKeyLen]);
    // Seals plain into out (plain.size + 16 bytes: ciphertext, then tag); false on failure.
    bool seal(const uint8_t nonce[kAeadNonceLen], ByteView ad, ByteView plain, uint8_t* out);
    // Opens sealed (ciphertext and tag) into out (sealed.size - 16 bytes); false when the tag
    // does not authenticate. out may equal sealed.data (in place).
    bool open(const uint8_t nonce[kAeadNonceLen], ByteView ad, ByteView sealed, uint8_t* out);

  private:
    struct Context;
    std::unique_ptr<Context> context_;
};

// Noise's ChaChaPoly nonce: 32 zero bits, then the 64-bit counter little-endian.
void noiseNonce(uint64_t counter, uint8_t out[kAeadNonceLen]);

}  // namespace noise
