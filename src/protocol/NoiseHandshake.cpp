// The Noise state objects and the IK pattern's message processing.
#include "protocol/NoiseHandshake.h"

#include <cstring>

namespace noise {

CipherState::CipherState(const CipherState& other) {
    *this = other;
}

CipherState& CipherState::operator=(const CipherState& other) {
    if (this != &other) {
        if (other.hasKey_) {
            initializeKey(other.key_.data());
        } else {
            key_.wipe();
            hasKey_ = false;
        }
        nonce_ = other.nonce_;
    }
    return *this;
}

void CipherState::initializeKey(const uint8_t key[kKeyLen]) {
    std::memcpy(key_.data(), key, kKeyLen);
    // The state has a key even when OpenSSL cannot take it: then every encryption fails,
    // where a state without a key would pass plaintext through.
    aead_.setKey(key_.data());
    hasKey_ = true;
    nonce_ = 0;
}

bool CipherState::encryptWithNonce(uint64_t nonce, ByteView ad, ByteView plaintext, uint8_t* out) {
    if (!hasKey_ || nonce == kReservedNonce) {
        return false;
    }
    uint8_t nonceBytes[kAeadNonceLen];
    noiseNonce(nonce, nonceBytes);
    return aead_.seal(nonceBytes, ad, plaintext, out);
}

bool CipherState::decryptWithNonce(uint64_t nonce, ByteView ad, ByteView ciphertext, uint8_t* out) {
    if (!hasKey_ || nonce == kReservedNonce) {
        return false;
    }
    uint8_t nonceBytes[kAeadNonceLen];
    noiseNonce(nonce, nonceBytes);
    return aead_.open(nonceBytes, ad, ciphertext, out);
}

std::optional<size_t> CipherState::encryptWithAd(ByteView ad, ByteView plaintext, uint8_t* out) {
    if (!hasKey_) {
        std::memmove(out, plaintext.data, plaintext.size);
        return plaintext.size;
    }
    if (!encryptWithNonce(nonce_, ad, plaintext, out)) {
        return std::nullopt;
    }
    ++nonce_;
    return plaintext.size + kTagLen;
}

std::optional<size_t> CipherState::decryptWithAd(ByteView ad, ByteView ciphertext, uint8_t* out) {
    if (!hasKey_) {
        std::memmove(out, ciphertext.data, ciphertext.size);
        return ciphertext.size;
    }
    if (ciphertext.size < kTagLen || !decryptWithNonce(nonce_, ad, ciphertext, out)) {
        return std::nullopt;
    }
    ++nonce_;
    return ciphertext.size - kTagLen;
}

void SymmetricState::initializeSymmetric(ByteView protocolName) {
    if (protocolName.size <= kHashLen) {
        h_.wipe();
        std::memcpy(h_.data(), protocolName.data, protocolName.size);
    } else {
        hash({protocolName}, h_.data());
    }
    ck_ = h_;
    cipher_ = CipherState();
}

void SymmetricState::mixKey(ByteView inputKeyMaterial) {
    Secret<kHashLen> chainingKey;
    Secret<kHashLen> tempKey;
    hkdf(ck_.data(), inputKeyMaterial, chainingKey.data(), tempKey.data());
    ck_ = chainingKey;
    cipher_.initializeKey(tempKey.data());  // HASHLEN is 32: no truncation
}

void SymmetricState::mixHash(ByteView data) {
    uint8_t next[kHashLen];
    hash({{h_.data(), kHashLen}, data}, next);
    std::memcpy(h_.data(), next, kHashLen);
}

std::optional<size_t> SymmetricState::encryptAndHash(ByteView plaintext, uint8_t* out) {
    std::optional<size_t> length = cipher_.encryptWithAd({h_.data(), kHashLen}, plaintext, out);
    if (length) {
        mixHash({out, *length});
    }
    return length;
}

std::optional<size_t> SymmetricState::decryptAndHash(ByteView ciphertext, uint8_t* out) {
    // h after the message is computed before decrypting, so that out may overlap the input.
    uint8_t next[kHashLen];
    hash({{h_.data(), kHashLen}, ciphertext}, next);
    std::optional<size_t> length = cipher_.decryptWithAd({h_.data(), kHashLen}, ciphertext, out);
    if (length) {
        std::memcpy(h_.data(), next, kHashLen);
    }
    return length;
}

void SymmetricState::split(CipherState* c1, CipherState* c2) const {
    Secret<kHashLen> k1;
    Secret<kHashLen> k2;
    hkdf(ck_.data(), {}, k1.data(), k2.data());
    c1->initializeKey(k1.data());
    c2->initializeKey(k2.data());
}

HandshakeState::HandshakeState(Role role, const KeyPair& s, ByteView prologue)
    : role_(role), s_(s) {
    symmetric_.initializeSymmetric(
        {reinterpret_cast<const uint8_t*>(kProtocolName), sizeof kProtocolName - 1});
    symmetric_.mixHash(prologue);
}

HandshakeState HandshakeState::initiator(const KeyPair& s, const PublicKey& rs, ByteView prologue) {
    HandshakeState state(Role::Initiator, s, prologue);
    state.rs_ = rs;
    state.symmetric_.mixHash({rs.data(), kDhLen});  // pre-message "<- s"
    return state;
}

HandshakeState HandshakeState::responder(const KeyPair& s, ByteView prologue) {
    HandshakeState state(Role::Responder, s, prologue);
    state.symmetric_.mixHash({s.publicKey.data(), kDhLen});  // pre-message "<- s"
    return state;
}

void HandshakeState::setEphemeral(const KeyPair& e) {
    e_ = e;
    haveE_ = true;
}

bool HandshakeState::mixDh(const KeyPair& own, const PublicKey& publicKey) {
    Secret<kDhLen> shared;
    if (!dh(own, publicKey.data(), &shared)) {
        failed_ = true;
        return false;
    }
    symmetric_.mixKey({shared.data(), kDhLen});
    return true;
}

std::optional<size_t> HandshakeState::writeMessage(ByteView payload, uint8_t* out,
                                                   size_t capacity) {
    const bool first = role_ == Role::Initiator && step_ == 0;
    const bool second = role_ == Role::Responder && step_ == 1;
    const size_t overhead = first ? kIkMessage1Overhead : kIkMessage2Overhead;
    if (failed_ || (!first && !second) || payload.size > kMaxAeadInput ||
        capacity < overhead + payload.size) {
        failed_ = true;
        return std::nullopt;
    }
    if (!haveE_) {
        std::optional<KeyPair> e = generateKeyPair();
        if (!e) {
            failed_ = true;
            return std::nullopt;
        }
        setEphemeral(*e);
    }
    // "e"
    std::memcpy(out, e_.publicKey.data(), kDhLen);
    symmetric_.mixHash({e_.publicKey.data(), kDhLen});
    size_t offset = kDhLen;
    if (first) {
        // "es", "s", "ss"
        if (!mixDh(e_, rs_)) {
            return std::nullopt;
        }
        std::optional<size_t> sealed =
            symmetric_.encryptAndHash({s_.publicKey.data(), kDhLen}, out + offset);
        if (!sealed) {
            failed_ = true;
            return std::nullopt;
        }
        offset += *sealed;
        if (!mixDh(s_, rs_)) {
            return std::nullopt;
        }
    } else {
        // "ee", "se" (the responder's half of se is DH(e, rs))
        if (!mixDh(e_, re_) || !mixDh(e_, rs_)) {
            return std::nullopt;
        }
    }
    std::optional<size_t> sealed = symmetric_.encryptAndHash(payload, out + offset);
    if (!sealed) {
        failed_ = true;
        return std::nullopt;
    }
    step_ = first ? 1 : 2;
    return offset + *sealed;
}

std::optional<size_t> HandshakeState::readMessage(ByteView message, uint8_t* payloadOut,
                                                  size_t capacity) {
    const bool first = role_ == Role::Responder && step_ == 0;
    const bool second = role_ == Role::Initiator && step_ == 1;
    const size_t overhead = first ? kIkMessage1Overhead : kIkMessage2Overhead;
    if (failed_ || (!first && !second) || message.size < overhead ||
        capacity < message.size - overhead) {
        failed_ = true;
        return std::nullopt;
    }
    // "e"
    std::memcpy(re_.data(), message.data, kDhLen);
    symmetric_.mixHash({re_.data(), kDhLen});
    size_t offset = kDhLen;
    if (first) {
        // "es" (the responder's half is DH(s, re)), "s", "ss"
        if (!mixDh(s_, re_)) {
            return std::nullopt;
        }
        if (!symmetric_.decryptAndHash({message.data + offset, kDhLen + kTagLen}, rs_.data())) {
            failed_ = true;
            return std::nullopt;
        }
        offset += kDhLen + kTagLen;
        if (!mixDh(s_, rs_)) {
            return std::nullopt;
        }
    } else {
        // "ee", "se" (the initiator's half is DH(s, re))
        if (!mixDh(e_, re_) || !mixDh(s_, re_)) {
            return std::nullopt;
        }
    }
    std::optional<size_t> length =
        symmetric_.decryptAndHash({message.data + offset, message.size - offset}, payloadOut);
    if (!length) {
        failed_ = true;
        return std::nullopt;
    }
    step_ = first ? 1 : 2;
    return *length;
}

std::optional<TransportCiphers> HandshakeState::split() const {
    if (!finished()) {
        return std::nullopt;
    }
    TransportCiphers ciphers;
    if (role_ == Role::Initiator) {
        symmetric_.split(&ciphers.send, &ciphers.receive);
    } else {
        symmetric_.split(&ciphers.receive, &ciphers.send);
    }
    return ciphers;
}

}  // namespace noise
