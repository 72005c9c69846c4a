// The stack's checksum sum against the plain 16-bit definition, at every length and alignment.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "tcpoverudp_chksum.h"

namespace {

// RFC 1071 as written: 16-bit words in memory order, an odd byte padded with zero.
uint16_t referenceSum(const uint8_t* data, size_t length) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < length; i += 2) {
        uint16_t word;
        std::memcpy(&word, data + i, 2);
        sum += word;
    }
    if (length % 2 != 0) {
        const uint8_t tail[2] = {data[length - 1], 0};
        uint16_t word;
        std::memcpy(&word, tail, 2);
        sum += word;
    }
    while (sum >> 16) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return static_cast<uint16_t>(sum);
}

TEST(ChecksumTest, MatchesTheDefinitionAtEveryLengthAndOffset) {
    std::mt19937 random(7);
    std::vector<uint8_t> bytes(4096 + 8);
    for (uint8_t& b : bytes) {
        b = static_cast<uint8_t>(random());
    }
    for (size_t offset = 0; offset < 4; ++offset) {
        for (size_t length = 0; length <= 4096; length += (length < 80 ? 1 : 61)) {
            ASSERT_EQ(tcpoverudp_chksum(bytes.data() + offset, static_cast<int>(length)),
                      referenceSum(bytes.data() + offset, length))
                << "offset " << offset << ", length " << length;
        }
    }
}

TEST(ChecksumTest, CarriesOfAllOnesFold) {
    // 0xffff words carry on every addition: the folds must bring every carry back.
    const std::vector<uint8_t> ones(65535, 0xff);
    EXPECT_EQ(tcpoverudp_chksum(ones.data(), static_cast<int>(ones.size())),
              referenceSum(ones.data(), ones.size()));
    EXPECT_EQ(tcpoverudp_chksum(ones.data(), 0), 0);
}

}  // namespace
