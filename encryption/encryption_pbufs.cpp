// The envelope over the stack's buffer chains: whole blocks straight from each buffer, blocks
// that straddle buffers gathered in one staging block.
#include "encryption_pbufs.h"

#include <algorithm>
#include <cstring>

#include "encryption_internal.h"
#include "lwip/pbuf.h"

namespace {

constexpr uint32_t kMaxBuffer = 0xffff;

// Feeds the chain's bytes from an offset through CBC into out, block by block.
class BlockStream {
  public:
    BlockStream(EVP_CIPHER_CTX* cipher, uint8_t* out) : cipher_(cipher), out_(out) {}

    bool feed(const pbuf* chain, uint32_t skip) {
        for (const pbuf* q = chain; q != nullptr; q = q->next) {
            if (skip >= q->len) {
                skip -= q->len;
                continue;
            }
            if (!take(static_cast<const uint8_t*>(q->payload) + skip, q->len - skip)) {
                return false;
            }
            skip = 0;
        }
        return true;
    }

    // Pads what is staged (a whole block of padding when nothing is) and runs it.
    bool finishWithPadding() {
        const uint8_t pad = static_cast<uint8_t>(kCryptoBlockSize - fill_);
        std::memset(stage_ + fill_, pad, pad);
        fill_ = 0;
        return run(stage_, kCryptoBlockSize);
    }

    size_t staged() const { return fill_; }

  private:
    bool take(const uint8_t* data, size_t length) {
        if (fill_ > 0) {
            const size_t n = std::min(kCryptoBlockSize - fill_, length);
            std::memcpy(stage_ + fill_, data, n);
            fill_ += n;
            data += n;
            length -= n;
            if (fill_ < kCryptoBlockSize) {
                return true;
            }
            fill_ = 0;
            if (!run(stage_, kCryptoBlockSize)) {
                return false;
            }
        }
        const size_t whole = length & ~(kCryptoBlockSize - 1);
        if (whole > 0 && !run(data, whole)) {
            return false;
        }
        std::memcpy(stage_, data + whole, length - whole);
        fill_ = length - whole;
        return true;
    }

    bool run(const uint8_t* data, size_t length) {
        if (!crypto_internal::cbcBlocks(cipher_, out_, data, length)) {
            return false;
        }
        out_ += length;
        return true;
    }

    EVP_CIPHER_CTX* cipher_;
    uint8_t* out_;
    uint8_t stage_[kCryptoBlockSize];
    size_t fill_ = 0;
};

pbuf* encryptChain(EVP_CIPHER_CTX* cipher, const pbuf* input, uint32_t inOffset,
                   uint32_t outOffset) {
    const uint32_t size = cryptoSizeWithPadding(input->tot_len - inOffset) + outOffset;
    uint8_t iv[kCryptoIvSize];
    if (size > kMaxBuffer || !crypto_internal::drawVector(iv)) {
        return nullptr;
    }
    pbuf* out = pbuf_alloc(PBUF_RAW, static_cast<u16_t>(size), PBUF_RAM);
    if (out == nullptr) {
        return nullptr;
    }
    uint8_t* bytes = static_cast<uint8_t*>(out->payload) + outOffset;
    std::memcpy(bytes, iv, kCryptoIvSize);
    BlockStream stream(cipher, bytes + kCryptoIvSize);
    if (!crypto_internal::startMessage(cipher, iv) || !stream.feed(input, inOffset) ||
        !stream.finishWithPadding()) {
        pbuf_free(out);
        return nullptr;
    }
    return out;
}

pbuf* decryptChain(EVP_CIPHER_CTX* cipher, const pbuf* input, uint32_t inOffset,
                   uint32_t outOffset) {
    const uint32_t available = input->tot_len - inOffset;
    if (available % kCryptoBlockSize != 0 || available < 2 * kCryptoBlockSize) {
        return nullptr;
    }
    const uint32_t size = available - kCryptoIvSize + outOffset;
    uint8_t iv[kCryptoIvSize];
    if (size > kMaxBuffer || pbuf_copy_partial(input, iv, kCryptoIvSize,
                                               static_cast<u16_t>(inOffset)) != kCryptoIvSize) {
        return nullptr;
    }
    pbuf* out = pbuf_alloc(PBUF_RAW, static_cast<u16_t>(size), PBUF_RAM);
    if (out == nullptr) {
        return nullptr;
    }
    uint8_t* bytes = static_cast<uint8_t*>(out->payload);
    BlockStream stream(cipher, bytes + outOffset);
    if (!crypto_internal::startMessage(cipher, iv) ||
        !stream.feed(input, inOffset + kCryptoIvSize)) {
        pbuf_free(out);
        return nullptr;
    }
    // The same padding rule as the contiguous envelope: a last byte of 0 or above 16 means
    // the wrong key or a damaged datagram, never a shorter plaintext.
    const uint8_t pad = bytes[size - 1];
    if (pad == 0 || pad > kCryptoBlockSize) {
        pbuf_free(out);
        return nullptr;
    }
    pbuf_realloc(out, static_cast<u16_t>(size - pad));
    return out;
}

}  // namespace

pbuf* cryptoProcessPBufs(CryptoContext* context, CryptoDirection direction, const pbuf* input,
                         uint32_t inOffset, uint32_t outOffset) {
    EVP_CIPHER_CTX* cipher = crypto_internal::cipherFor(context, direction);
    if (cipher == nullptr || input == nullptr || inOffset > input->tot_len ||
        outOffset > kMaxBuffer) {
        return nullptr;
    }
    return direction == CryptoEncrypt ? encryptChain(cipher, input, inOffset, outOffset)
                                      : decryptChain(cipher, input, inOffset, outOffset);
}
