// Unit tests of the crypto module: envelope sizes, padding, round trips, key agreement and the
// injectable random source, checked against raw OpenSSL AES and the RFC 7748 X25519 vectors.
#include "encryption.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

Bytes toBytes(const uint8_t* data, size_t len) {
    return Bytes(data, data + len);
}

Bytes pattern(size_t len) {
    Bytes out(len);
    for (size_t i = 0; i < len; ++i) {
        out[i] = static_cast<uint8_t>(i * 37 + 11);
    }
    return out;
}

// Plain AES-128-CBC without padding, independent of the module's cipher handling.
Bytes rawCbc(bool encrypt, const uint8_t* key, const uint8_t* iv, const Bytes& in) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes out(in.size() + kCryptoBlockSize);
    int len = 0;
    int finalLen = 0;
    bool ok =
        ctx != nullptr &&
        EVP_CipherInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key, iv, encrypt ? 1 : 0) == 1 &&
        EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
        EVP_CipherUpdate(ctx, out.data(), &len, in.data(), static_cast<int>(in.size())) == 1 &&
        EVP_CipherFinal_ex(ctx, out.data() + len, &finalLen) == 1;
    EVP_CIPHER_CTX_free(ctx);
    EXPECT_TRUE(ok);
    out.resize(ok ? static_cast<size_t>(len + finalLen) : 0);
    return out;
}

// Test random sources: the module takes a plain function pointer, so their state is global.
Bytes scriptedBytes;
size_t scriptedOffset = 0;
uint8_t counterByte = 0;

bool scriptedSource(uint8_t* out, size_t len) {
    if (scriptedOffset + len > scriptedBytes.size()) {
        return false;
    }
    std::memcpy(out, scriptedBytes.data() + scriptedOffset, len);
    scriptedOffset += len;
    return true;
}

bool counterSource(uint8_t* out, size_t len) {
    for (size_t i = 0; i < len; ++i) {
        out[i] = counterByte++;
    }
    return true;
}

bool failingSource(uint8_t*, size_t) {
    return false;
}

// Makes the next cryptoNew use the given private key bytes.
void feedPrivateKey(const Bytes& key) {
    scriptedBytes = key;
    scriptedOffset = 0;
    cryptoSetRandomSource(scriptedSource);
}

// Two peers that have exchanged public keys, as a gateway client and the server do.
class CryptoPairTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server_.reset(cryptoNew());
        client_.reset(cryptoNew());
        ASSERT_TRUE(server_ && client_);
        ASSERT_TRUE(cryptoSetRemoteKey(server_.get(), cryptoGetPublicKey(client_.get())));
        ASSERT_TRUE(cryptoSetRemoteKey(client_.get(), cryptoGetPublicKey(server_.get())));
    }
    void TearDown() override { cryptoSetRandomSource(nullptr); }

    Bytes encrypt(CryptoContext* context, const Bytes& plain) {
        uint32_t outLength = 0;
        uint8_t* out = cryptoProcessBuf(context, CryptoEncrypt, plain.data(),
                                        static_cast<uint32_t>(plain.size()), nullptr, &outLength);
        EXPECT_NE(out, nullptr);
        Bytes result = out != nullptr ? toBytes(out, outLength) : Bytes{};
        std::free(out);
        return result;
    }

    // Returns whether the module accepted the envelope and checks the failure contract.
    bool decrypt(CryptoContext* context, const Bytes& envelope, Bytes* plain) {
        uint32_t outLength = 12345;
        uint8_t* out =
            cryptoProcessBuf(context, CryptoDecrypt, envelope.data(),
                             static_cast<uint32_t>(envelope.size()), nullptr, &outLength);
        if (out == nullptr) {
            EXPECT_EQ(outLength, 0u);
            return false;
        }
        *plain = toBytes(out, outLength);
        std::free(out);
        return true;
    }

    // An envelope whose decrypted body is exactly `body`, made with raw AES under the key.
    Bytes craftEnvelope(const Bytes& body) {
        const Bytes iv = pattern(kCryptoIvSize);
        Bytes envelope = iv;
        const Bytes cipher = rawCbc(true, cryptoGetAESKey(server_.get()), iv.data(), body);
        envelope.insert(envelope.end(), cipher.begin(), cipher.end());
        return envelope;
    }

    CryptoContextPtr server_;
    CryptoContextPtr client_;
};

TEST(CryptoSizeTest, EnvelopeLengthIsVectorPlusPaddedBlocks) {
    const std::array<std::pair<uint32_t, uint32_t>, 7> cases{
        {{0, 32}, {1, 32}, {15, 32}, {16, 48}, {17, 48}, {31, 48}, {32, 64}}};
    for (const auto& [plain, envelope] : cases) {
        EXPECT_EQ(cryptoSizeWithPadding(plain), envelope) << "plaintext " << plain;
    }
    static_assert(cryptoSizeWithPadding(1400) == 1424);
}

TEST_F(CryptoPairTest, EnvelopeIsStandardCbcWithPkcs7Padding) {
    const uint8_t* key = cryptoGetAESKey(client_.get());

    // The empty plaintext still carries one whole block of padding.
    const Bytes empty = encrypt(client_.get(), {});
    ASSERT_EQ(empty.size(), 32u);
    EXPECT_EQ(rawCbc(false, key, empty.data(), Bytes(empty.begin() + 16, empty.end())),
              Bytes(16, 16));

    for (size_t len : {1u, 15u, 16u, 17u, 40u}) {
        SCOPED_TRACE(len);
        const Bytes plain = pattern(len);
        const Bytes envelope = encrypt(client_.get(), plain);
        ASSERT_EQ(envelope.size(), cryptoSizeWithPadding(static_cast<uint32_t>(len)));
        Bytes expected = plain;
        const size_t pad = 16 - len % 16;
        expected.insert(expected.end(), pad, static_cast<uint8_t>(pad));
        EXPECT_EQ(rawCbc(false, key, envelope.data(), Bytes(envelope.begin() + 16, envelope.end())),
                  expected);
    }
}

TEST_F(CryptoPairTest, RoundTripsEveryLengthUpToFourBlocks) {
    for (uint32_t len = 0; len <= 64; ++len) {
        SCOPED_TRACE(len);
        const Bytes plain = pattern(len);
        const uint32_t size = cryptoSizeWithPadding(len);

        // Allocated output, the client's direction.
        const Bytes envelope = encrypt(client_.get(), plain);
        Bytes decrypted;
        ASSERT_TRUE(decrypt(server_.get(), envelope, &decrypted));
        EXPECT_EQ(decrypted, plain);

        // Caller-provided output of exactly the promised size, the server's direction.
        Bytes out(size);
        uint32_t outLength = 0;
        ASSERT_EQ(cryptoProcessBuf(server_.get(), CryptoEncrypt, plain.data(), len, out.data(),
                                   &outLength),
                  out.data());
        ASSERT_EQ(outLength, size);
        Bytes back(size - kCryptoIvSize);
        ASSERT_EQ(cryptoProcessBuf(client_.get(), CryptoDecrypt, out.data(), size, back.data(),
                                   &outLength),
                  back.data());
        ASSERT_EQ(outLength, len);
        EXPECT_EQ(Bytes(back.begin(), back.begin() + len), plain);

        // In place, over the ciphertext that follows the vector.
        Bytes buffer = out;
        uint8_t* inPlace = cryptoProcessBuf(client_.get(), CryptoDecrypt, buffer.data(), size,
                                            buffer.data() + kCryptoIvSize, &outLength);
        ASSERT_EQ(inPlace, buffer.data() + kCryptoIvSize);
        ASSERT_EQ(outLength, len);
        EXPECT_EQ(toBytes(inPlace, len), plain);
    }
}

TEST_F(CryptoPairTest, RoundTripsADatagramSizedPayloadInPlace) {
    const Bytes plain = pattern(1400);
    Bytes buffer = encrypt(client_.get(), plain);
    uint32_t outLength = 0;
    uint8_t* out =
        cryptoProcessBuf(server_.get(), CryptoDecrypt, buffer.data(),
                         static_cast<uint32_t>(buffer.size()), buffer.data() + 16, &outLength);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(toBytes(out, outLength), plain);
}

TEST_F(CryptoPairTest, EachMessageHasAFreshVector) {
    const Bytes plain = pattern(32);
    const Bytes first = encrypt(client_.get(), plain);
    const Bytes second = encrypt(client_.get(), plain);
    ASSERT_EQ(first.size(), second.size());
    EXPECT_NE(Bytes(first.begin(), first.begin() + 16), Bytes(second.begin(), second.begin() + 16));
    EXPECT_NE(Bytes(first.begin() + 16, first.end()), Bytes(second.begin() + 16, second.end()));
}

TEST_F(CryptoPairTest, RejectsCiphertextLengthsThatCannotBeAnEnvelope) {
    const Bytes valid = encrypt(client_.get(), pattern(40));
    ASSERT_EQ(valid.size(), 64u);
    for (size_t len : {0u, 16u, 47u, 63u}) {
        SCOPED_TRACE(len);
        Bytes plain;
        EXPECT_FALSE(decrypt(server_.get(), Bytes(valid.begin(), valid.begin() + len), &plain));

        Bytes out(64);
        uint32_t outLength = 12345;
        EXPECT_EQ(cryptoProcessBuf(server_.get(), CryptoDecrypt, valid.data(),
                                   static_cast<uint32_t>(len), out.data(), &outLength),
                  nullptr);
        EXPECT_EQ(outLength, 0u);
    }
}

TEST_F(CryptoPairTest, ChecksOnlyTheLastPaddingByte) {
    Bytes plain;
    // Out of range: the allocated output must be released (the leak checker watches this).
    for (uint8_t last : {uint8_t{0}, uint8_t{17}, uint8_t{255}}) {
        SCOPED_TRACE(static_cast<int>(last));
        Bytes body = pattern(32);
        body.back() = last;
        EXPECT_FALSE(decrypt(server_.get(), craftEnvelope(body), &plain));
    }

    // In range with other padding bytes that do not match: accepted, as field clients expect.
    Bytes body = pattern(32);
    body.back() = 16;
    ASSERT_TRUE(decrypt(server_.get(), craftEnvelope(body), &plain));
    EXPECT_EQ(plain, Bytes(body.begin(), body.begin() + 16));
    body.back() = 3;
    ASSERT_TRUE(decrypt(server_.get(), craftEnvelope(body), &plain));
    EXPECT_EQ(plain, Bytes(body.begin(), body.begin() + 29));
}

TEST(CryptoKeyAgreementTest, PeersAgreeOnTheKeyOnlyAfterExchange) {
    CryptoContextPtr server(cryptoNew());
    CryptoContextPtr client(cryptoNew());
    ASSERT_TRUE(server && client);
    EXPECT_NE(toBytes(cryptoGetPublicKey(server.get()), 32),
              toBytes(cryptoGetPublicKey(client.get()), 32));

    EXPECT_FALSE(cryptoIsRemoteKeySet(server.get()));
    EXPECT_FALSE(checkIfCryptoContextNotNull(server.get()));
    uint32_t outLength = 12345;
    const uint8_t byte = 1;
    EXPECT_EQ(cryptoProcessBuf(server.get(), CryptoEncrypt, &byte, 1, nullptr, &outLength),
              nullptr);
    EXPECT_EQ(outLength, 0u);

    ASSERT_TRUE(cryptoSetRemoteKey(server.get(), cryptoGetPublicKey(client.get())));
    ASSERT_TRUE(cryptoSetRemoteKey(client.get(), cryptoGetPublicKey(server.get())));
    EXPECT_TRUE(cryptoIsRemoteKeySet(server.get()));
    EXPECT_TRUE(checkIfCryptoContextNotNull(server.get()));
    EXPECT_EQ(toBytes(cryptoGetAESKey(server.get()), 16),
              toBytes(cryptoGetAESKey(client.get()), 16));
    EXPECT_NE(toBytes(cryptoGetAESKey(server.get()), 16), Bytes(16, 0));
}

TEST(CryptoKeyAgreementTest, RefusesLowOrderPeerKeys) {
    // u-coordinates whose multiples by any clamped scalar are zero: 0, 1, the two points of
    // order 8, and p - 1, p, p + 1 (p = 2^255 - 19).
    const std::array<const char*, 7> lowOrder{
        "0000000000000000000000000000000000000000000000000000000000000000",
        "0100000000000000000000000000000000000000000000000000000000000000",
        "e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800",
        "5f9c95bca3508c24b1d0b1559c83ef5b04445cc4581c8e86d8224eddd09f1157",
        "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
        "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
        "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
    };
    CryptoContextPtr peer(cryptoNew());
    ASSERT_TRUE(peer);
    for (const char* hex : lowOrder) {
        SCOPED_TRACE(hex);
        CryptoContextPtr context(cryptoNew());
        ASSERT_TRUE(context);
        // A context that was usable must not stay usable with the old key either.
        ASSERT_TRUE(cryptoSetRemoteKey(context.get(), cryptoGetPublicKey(peer.get())));
        EXPECT_FALSE(cryptoSetRemoteKey(context.get(), fromHex(hex).data()));
        EXPECT_FALSE(checkIfCryptoContextNotNull(context.get()));
        uint32_t outLength = 12345;
        const uint8_t byte = 1;
        EXPECT_EQ(cryptoProcessBuf(context.get(), CryptoEncrypt, &byte, 1, nullptr, &outLength),
                  nullptr);
        EXPECT_EQ(outLength, 0u);
    }
}

// RFC 7748, section 6.1. The private keys are given unclamped; the module clamps them.
TEST(CryptoKeyAgreementTest, MatchesX25519KnownAnswers) {
    const Bytes alicePrivate =
        fromHex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
    const Bytes alicePublic =
        fromHex("8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
    const Bytes bobPrivate =
        fromHex("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb");
    const Bytes bobPublic =
        fromHex("de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f");
    const Bytes sharedHalf = fromHex("4a5d9d5ba4ce2de1728e3bf480350f25");

    feedPrivateKey(alicePrivate);
    CryptoContextPtr alice(cryptoNew());
    feedPrivateKey(bobPrivate);
    CryptoContextPtr bob(cryptoNew());
    cryptoSetRandomSource(nullptr);
    ASSERT_TRUE(alice && bob);
    EXPECT_EQ(toBytes(cryptoGetPublicKey(alice.get()), 32), alicePublic);
    EXPECT_EQ(toBytes(cryptoGetPublicKey(bob.get()), 32), bobPublic);

    ASSERT_TRUE(cryptoSetRemoteKey(alice.get(), bobPublic.data()));
    ASSERT_TRUE(cryptoSetRemoteKey(bob.get(), alicePublic.data()));
    EXPECT_EQ(toBytes(cryptoGetAESKey(alice.get()), 16), sharedHalf);
    EXPECT_EQ(toBytes(cryptoGetAESKey(bob.get()), 16), sharedHalf);
}

TEST(CryptoRandomSourceTest, ReplacementMakesKeysReproducibleAndFailuresReported) {
    counterByte = 0;
    cryptoSetRandomSource(counterSource);
    CryptoContextPtr first(cryptoNew());
    counterByte = 0;
    CryptoContextPtr second(cryptoNew());
    ASSERT_TRUE(first && second);
    EXPECT_EQ(toBytes(cryptoGetPublicKey(first.get()), 32),
              toBytes(cryptoGetPublicKey(second.get()), 32));

    // The system source again: independent keys.
    cryptoSetRandomSource(nullptr);
    CryptoContextPtr third(cryptoNew());
    CryptoContextPtr fourth(cryptoNew());
    ASSERT_TRUE(third && fourth);
    EXPECT_NE(toBytes(cryptoGetPublicKey(third.get()), 32),
              toBytes(cryptoGetPublicKey(first.get()), 32));
    EXPECT_NE(toBytes(cryptoGetPublicKey(third.get()), 32),
              toBytes(cryptoGetPublicKey(fourth.get()), 32));

    // No randomness: no key pair, and no envelope without a fresh vector.
    ASSERT_TRUE(cryptoSetRemoteKey(third.get(), cryptoGetPublicKey(fourth.get())));
    cryptoSetRandomSource(failingSource);
    EXPECT_EQ(cryptoNew(), nullptr);
    uint32_t outLength = 12345;
    const uint8_t byte = 1;
    EXPECT_EQ(cryptoProcessBuf(third.get(), CryptoEncrypt, &byte, 1, nullptr, &outLength), nullptr);
    EXPECT_EQ(outLength, 0u);
    cryptoSetRandomSource(nullptr);
}

TEST_F(CryptoPairTest, ContextFromAesKeyInteroperatesWithAgreedContext) {
    CryptoContextPtr fromKey(cryptoNewFromAESKey(cryptoGetAESKey(server_.get())));
    ASSERT_TRUE(fromKey);
    EXPECT_TRUE(checkIfCryptoContextNotNull(fromKey.get()));
    EXPECT_EQ(toBytes(cryptoGetAESKey(fromKey.get()), 16),
              toBytes(cryptoGetAESKey(server_.get()), 16));

    const Bytes plain = pattern(33);
    Bytes decrypted;
    ASSERT_TRUE(decrypt(fromKey.get(), encrypt(client_.get(), plain), &decrypted));
    EXPECT_EQ(decrypted, plain);
    ASSERT_TRUE(decrypt(client_.get(), encrypt(fromKey.get(), plain), &decrypted));
    EXPECT_EQ(decrypted, plain);
}

}  // namespace
