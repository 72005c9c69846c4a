// The envelope over buffer chains agrees with the contiguous one, whatever the buffer sizes.
#include "encryption_pbufs.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "encryption.h"
#include "lwip/init.h"
#include "lwip/pbuf.h"

namespace {

class PbufEnvelope : public ::testing::Test {
  protected:
    void SetUp() override {
        lwip_init();
        a.reset(cryptoNew());
        b.reset(cryptoNew());
        ASSERT_TRUE(cryptoSetRemoteKey(a.get(), cryptoGetPublicKey(b.get())));
        ASSERT_TRUE(cryptoSetRemoteKey(b.get(), cryptoGetPublicKey(a.get())));
    }
    // A chain holding bytes, cut into buffers of the given sizes (the last takes the rest).
    static pbuf* chainOf(const std::vector<uint8_t>& bytes, std::vector<size_t> sizes) {
        pbuf* chain = nullptr;
        size_t at = 0;
        for (size_t i = 0; at < bytes.size() || (chain == nullptr && i == 0); ++i) {
            size_t n = i < sizes.size() ? std::min(sizes[i], bytes.size() - at) : bytes.size() - at;
            pbuf* p = pbuf_alloc(PBUF_RAW, static_cast<u16_t>(n), PBUF_RAM);
            if (n > 0) {
                std::memcpy(p->payload, bytes.data() + at, n);
            }
            at += n;
            if (chain == nullptr) {
                chain = p;
            } else {
                pbuf_cat(chain, p);
            }
            if (n == 0) {
                break;
            }
        }
        return chain;
    }
    static std::vector<uint8_t> bytesOf(const pbuf* p) {
        std::vector<uint8_t> out(p->tot_len);
        pbuf_copy_partial(p, out.data(), p->tot_len, 0);
        return out;
    }
    static std::vector<uint8_t> counting(size_t n) {
        std::vector<uint8_t> v(n);
        std::iota(v.begin(), v.end(), uint8_t{1});
        return v;
    }

    CryptoContextPtr a;
    CryptoContextPtr b;
};

}  // namespace

TEST_F(PbufEnvelope, EncryptedChainsDecryptWithTheContiguousEnvelope) {
    for (size_t n = 0; n <= 64; ++n) {
        // Two bytes before the plaintext are skipped; one byte is left free in front.
        const std::vector<uint8_t> input = counting(n + 2);
        pbuf* chain = chainOf(input, {5, 17, 3, 40});
        pbuf* envelope = cryptoProcessPBufs(a.get(), CryptoEncrypt, chain, 2, 1);
        ASSERT_NE(envelope, nullptr) << n;
        EXPECT_EQ(envelope->tot_len, 1 + cryptoSizeWithPadding(static_cast<uint32_t>(n)));
        const std::vector<uint8_t> bytes = bytesOf(envelope);
        uint32_t plainLength = 0;
        uint8_t* plain =
            cryptoProcessBuf(b.get(), CryptoDecrypt, bytes.data() + 1,
                             static_cast<uint32_t>(bytes.size() - 1), nullptr, &plainLength);
        ASSERT_NE(plain, nullptr) << n;
        EXPECT_EQ(std::vector<uint8_t>(plain, plain + plainLength),
                  std::vector<uint8_t>(input.begin() + 2, input.end()))
            << n;
        free(plain);
        pbuf_free(envelope);
        pbuf_free(chain);
    }
}

TEST_F(PbufEnvelope, ContiguousEnvelopesDecryptFromChainsWithStraddlingBlocks) {
    for (size_t n : {0u, 1u, 15u, 16u, 17u, 100u, 1400u}) {
        const std::vector<uint8_t> plain = counting(n);
        uint32_t envelopeLength = 0;
        uint8_t* envelope = cryptoProcessBuf(a.get(), CryptoEncrypt, plain.data(),
                                             static_cast<uint32_t>(n), nullptr, &envelopeLength);
        std::vector<uint8_t> datagram(1 + envelopeLength);
        datagram[0] = 252;
        std::memcpy(datagram.data() + 1, envelope, envelopeLength);
        free(envelope);
        // Buffers of 7 and 9 bytes: the vector and every block straddle buffers.
        pbuf* chain = chainOf(datagram, std::vector<size_t>(400, 7));
        pbuf* out = cryptoProcessPBufs(b.get(), CryptoDecrypt, chain, 1, 3);
        ASSERT_NE(out, nullptr) << n;
        const std::vector<uint8_t> bytes = bytesOf(out);
        ASSERT_EQ(bytes.size(), 3 + n);
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 3, bytes.end()), plain) << n;
        pbuf_free(out);
        pbuf_free(chain);
    }
}

TEST_F(PbufEnvelope, BadLengthsAndPaddingAreRefused) {
    for (size_t n : {0u, 16u, 31u, 47u}) {
        pbuf* chain = chainOf(counting(n + 1), {3});
        EXPECT_EQ(cryptoProcessPBufs(b.get(), CryptoDecrypt, chain, 1, 0), nullptr) << n;
        pbuf_free(chain);
    }
    // The wrong key: the last byte decrypts to rubbish and is refused as a padding length
    // (or, by chance, accepted as a valid one: retried until it is refused).
    CryptoContextPtr stranger(cryptoNew());
    ASSERT_TRUE(cryptoSetRemoteKey(stranger.get(), cryptoGetPublicKey(a.get())));
    int refused = 0;
    for (int attempt = 0; attempt < 20; ++attempt) {
        const std::vector<uint8_t> plain = counting(40);
        pbuf* chain = chainOf(plain, {40});
        pbuf* envelope = cryptoProcessPBufs(a.get(), CryptoEncrypt, chain, 0, 0);
        pbuf* out = cryptoProcessPBufs(stranger.get(), CryptoDecrypt, envelope, 0, 0);
        refused += out == nullptr ? 1 : 0;
        if (out != nullptr) {
            pbuf_free(out);
        }
        pbuf_free(envelope);
        pbuf_free(chain);
    }
    EXPECT_GT(refused, 10);
    // A context without a key does nothing.
    CryptoContextPtr unkeyed(cryptoNew());
    pbuf* chain = chainOf(counting(40), {});
    EXPECT_EQ(cryptoProcessPBufs(unkeyed.get(), CryptoEncrypt, chain, 0, 0), nullptr);
    pbuf_free(chain);
}
