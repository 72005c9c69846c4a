// Noise_IK_25519_ChaChaPoly_BLAKE2s as the Noise Protocol Framework (revision 34) defines it:
// CipherState, SymmetricState and HandshakeState for the IK pattern
//
//   IK:
//     <- s
//     ...
//     -> e, es, s, ss
//     <- e, ee, se
//
// in both roles (the gateway initiates, the server responds), with payloads on both messages,
// Split() into the two transport CipherStates and the handshake hash. The names of the
// operations are Noise's; those IK does not use (Rekey, MixKeyAndHash) are left out: the
// transport renews keys by a new handshake, as WireGuard does. GatewayHandshake wraps these
// in the gateway datagrams; the tests' CLI drives them against an independent implementation.
// A failed operation leaves the state refusing everything after it, as Noise requires of an
// aborted handshake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "protocol/NoiseCrypto.h"

namespace noise {

// The protocol name hashed into the initial state; 33 bytes, so h starts as its hash.
inline constexpr char kProtocolName[] = "Noise_IK_25519_ChaChaPoly_BLAKE2s";
// Noise reserves the largest nonce (2^64 - 1): EncryptWithAd and DecryptWithAd refuse it.
constexpr uint64_t kReservedNonce = UINT64_MAX;

// Message sizes of IK for a payload of p bytes.
constexpr size_t kIkMessage1Overhead = kDhLen + (kDhLen + kTagLen) + kTagLen;  // e, s, tag
constexpr size_t kIkMessage2Overhead = kDhLen + kTagLen;                       // e, tag

class CipherState {
  public:
    CipherState() = default;
    // A copy holds the same key and nonce in an OpenSSL context of its own.
    CipherState(const CipherState& other);
    CipherState& operator=(const CipherState& other);
    CipherState(CipherState&&) = default;
    CipherState& operator=(CipherState&&) = default;

    void initializeKey(const uint8_t key[kKeyLen]);
    bool hasKey() const { return hasKey_; }
    void setNonce(uint64_t nonce) { nonce_ = nonce; }
    uint64_t nonce() const { return nonce_; }

    // ENCRYPT(k, n++, ad, plaintext) into out (plaintext + 16 bytes); without a key the
    // plaintext is copied. Returns the bytes written; absent at the reserved nonce.
    std::optional<size_t> encryptWithAd(ByteView ad, ByteView plaintext, uint8_t* out);
    // DECRYPT(k, n, ad, ciphertext) into out; n advances only on success.
    std::optional<size_t> decryptWithAd(ByteView ad, ByteView ciphertext, uint8_t* out);
    // The transport's form: the counter travels in the datagram and is the nonce (not n).
    bool encryptWithNonce(uint64_t nonce, ByteView ad, ByteView plaintext, uint8_t* out);
    bool decryptWithNonce(uint64_t nonce, ByteView ad, ByteView ciphertext, uint8_t* out);

  private:
    SecretKey key_;
    Aead aead_;
    uint64_t nonce_ = 0;
    bool hasKey_ = false;
};

class SymmetricState {
  public:
    void initializeSymmetric(ByteView protocolName);
    void mixKey(ByteView inputKeyMaterial);
    void mixHash(ByteView data);
    const uint8_t* handshakeHash() const { return h_.data(); }
    std::optional<size_t> encryptAndHash(ByteView plaintext, uint8_t* out);
    std::optional<size_t> decryptAndHash(ByteView ciphertext, uint8_t* out);
    bool hasKey() const { return cipher_.hasKey(); }
    // Split(): c1 carries initiator -> responder, c2 responder -> initiator.
    void split(CipherState* c1, CipherState* c2) const;

  private:
    Secret<kHashLen> ck_;
    Secret<kHashLen> h_;
    CipherState cipher_;
};

// The two transport directions as seen from one side of a finished handshake.
struct TransportCiphers {
    CipherState send;
    CipherState receive;
};

class HandshakeState {
  public:
    enum class Role { Initiator, Responder };

    // The gateway: its own static key pair and the server's static public key (the pre-message).
    static HandshakeState initiator(const KeyPair& s, const PublicKey& rs, ByteView prologue);
    // The server: its static key pair; the initiator's static key arrives in message 1.
    static HandshakeState responder(const KeyPair& s, ByteView prologue);

    // Noise's Initialize() may be handed the ephemeral key pair; tests do, to be reproducible.
    // Without it, writing the first message that needs e generates one.
    void setEphemeral(const KeyPair& e);

    // WriteMessage(payload) into out (capacity bytes): returns the message's size, absent on
    // failure, when it is not this side's turn or when out is too small.
    std::optional<size_t> writeMessage(ByteView payload, uint8_t* out, size_t capacity);
    // ReadMessage(message): the payload goes to payloadOut (capacity bytes); returns its size,
    // absent when the message does not authenticate or is malformed.
    std::optional<size_t> readMessage(ByteView message, uint8_t* payloadOut, size_t capacity);

    bool finished() const { return step_ == 2 && !failed_; }
    bool failed() const { return failed_; }
    Role role() const { return role_; }
    // The peer's static public key: the initiator's after the responder read message 1.
    const PublicKey& remoteStatic() const { return rs_; }
    const uint8_t* handshakeHash() const { return symmetric_.handshakeHash(); }
    // Split() oriented for this side; absent before the handshake finished.
    std::optional<TransportCiphers> split() const;

  private:
    HandshakeState(Role role, const KeyPair& s, ByteView prologue);
    bool mixDh(const KeyPair& own, const PublicKey& publicKey);

    Role role_;
    SymmetricState symmetric_;
    KeyPair s_;
    KeyPair e_;
    bool haveE_ = false;
    PublicKey rs_{};
    PublicKey re_{};
    int step_ = 0;  // messages processed so far: 0, 1, 2
    bool failed_ = false;
};

}  // namespace noise
