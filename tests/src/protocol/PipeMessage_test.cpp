// Framing of the parent-worker pipes, the connect parameters and the authorisation record.
#include "protocol/PipeMessage.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "protocol/LanDeviceAuthData.h"

namespace {

struct Pipe {
    Pipe() {
        EXPECT_EQ(::pipe(fds), 0);
        fcntl(fds[0], F_SETFL, O_NONBLOCK);
        fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
    }
    ~Pipe() {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    std::vector<uint8_t> drain() const {
        std::vector<uint8_t> bytes(1 << 16);
        const ssize_t n = ::read(fds[0], bytes.data(), bytes.size());
        bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return bytes;
    }
    int fds[2];
};

struct Frame {
    uint8_t type;
    std::vector<uint8_t> payload;
};

std::vector<Frame> readAll(pipe_message::Reader& reader, int fd,
                           pipe_message::Reader::Status* status) {
    std::vector<Frame> frames;
    *status = reader.readAndDispatch(fd, [&](uint8_t type, const uint8_t* payload, uint16_t n) {
        frames.push_back({type, std::vector<uint8_t>(payload, payload + n)});
        return true;
    });
    return frames;
}

void writeRaw(int fd, const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

}  // namespace

TEST(PipeFraming, GoldenBytes) {
    Pipe pipe;
    pipe_message::writeFrame(pipe.fds[1], pipe_message::kStop, nullptr, 0);
    EXPECT_EQ(pipe.drain(), (std::vector<uint8_t>{0, 0, 0}));

    const uint8_t channel = 130;
    pipe_message::writeFrame(pipe.fds[1], pipe_message::kChannelRegister, &channel, 1);
    EXPECT_EQ(pipe.drain(), (std::vector<uint8_t>{248, 1, 0, 130}));

    pipe_message::writeFrame(pipe.fds[1], pipe_message::kNotCached, nullptr, 0);
    EXPECT_EQ(pipe.drain(), (std::vector<uint8_t>{249, 0, 0}));

    pipe_message::writeFrame(pipe.fds[1], pipe_message::kFinished, nullptr, 0);
    EXPECT_EQ(pipe.drain(), (std::vector<uint8_t>{254, 0, 0}));

    const uint8_t tag = 255;
    const uint8_t packet[] = {1, 2, 3};
    pipe_message::writeFrame2(pipe.fds[1], pipe_message::kDatagram, &tag, 1, packet, 3);
    EXPECT_EQ(pipe.drain(), (std::vector<uint8_t>{255, 4, 0, 255, 1, 2, 3}));
}

TEST(PipeReader, ReassemblesFramesSplitAcrossReads) {
    Pipe pipe;
    pipe_message::Reader reader;
    pipe_message::Reader::Status status;
    // A header in two pieces, then the payload, then two whole frames in one read.
    writeRaw(pipe.fds[1], {255, 3});
    EXPECT_TRUE(readAll(reader, pipe.fds[0], &status).empty());
    writeRaw(pipe.fds[1], {0, 7, 8});
    EXPECT_TRUE(readAll(reader, pipe.fds[0], &status).empty());
    writeRaw(pipe.fds[1], {9, 0, 0, 0, 248, 1, 0, 130});
    const auto frames = readAll(reader, pipe.fds[0], &status);
    EXPECT_EQ(status, pipe_message::Reader::Status::Ok);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].type, 255);
    EXPECT_EQ(frames[0].payload, (std::vector<uint8_t>{7, 8, 9}));
    EXPECT_EQ(frames[1].type, 0);
    EXPECT_TRUE(frames[1].payload.empty());
    EXPECT_EQ(frames[2].payload, (std::vector<uint8_t>{130}));
    EXPECT_EQ(reader.buffered(), 0u);
}

TEST(PipeReader, LargestPayloadPassesAndOneMoreIsRefused) {
    Pipe pipe;
    pipe_message::Reader reader;
    pipe_message::Reader::Status status;
    std::vector<uint8_t> payload(4096, 0xab);
    ASSERT_EQ(pipe_message::writeFrame(pipe.fds[1], 255, payload.data(), 4096), 4099);
    auto frames = readAll(reader, pipe.fds[0], &status);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload.size(), 4096u);

    // 4097 announced: the stream cannot be resynchronised, whatever follows.
    writeRaw(pipe.fds[1], {255, 0x01, 0x10});
    writeRaw(pipe.fds[1], std::vector<uint8_t>(4097, 1));
    frames = readAll(reader, pipe.fds[0], &status);
    EXPECT_EQ(status, pipe_message::Reader::Status::Overlong);
    EXPECT_TRUE(frames.empty());
}

TEST(PipeReader, ReportsEndOfFileAndStopsWhenTheSinkSaysSo) {
    Pipe pipe;
    pipe_message::Reader reader;
    writeRaw(pipe.fds[1], {254, 0, 0, 255, 1, 0, 9});
    int calls = 0;
    const auto status = reader.readAndDispatch(pipe.fds[0], [&](uint8_t, const uint8_t*, uint16_t) {
        ++calls;
        return false;  // the owner went away with the first frame
    });
    EXPECT_EQ(status, pipe_message::Reader::Status::Stopped);
    EXPECT_EQ(calls, 1);

    pipe_message::Reader fresh;
    pipe_message::Reader::Status status2;
    EXPECT_TRUE(readAll(fresh, pipe.fds[0], &status2).empty());
    EXPECT_EQ(status2, pipe_message::Reader::Status::WouldBlock);
    ::close(pipe.fds[1]);
    pipe.fds[1] = ::open("/dev/null", O_WRONLY);
    readAll(fresh, pipe.fds[0], &status2);
    EXPECT_EQ(status2, pipe_message::Reader::Status::EndOfFile);
}

TEST(ConnectParameters, LayoutForCachedDevice) {
    pipe_message::ConnectParameters parameters;
    parameters.localIP = 0x010013c6;
    parameters.localPort = 5000;
    parameters.windowSize = 196607;
    parameters.devicePort = 80;
    parameters.deviceAddress = "198.18.11.20";
    uint8_t payload[pipe_message::kConnectFixedSize + pipe_message::kMaxDeviceAddressText];
    const size_t length = pipe_message::encodeConnectParameters(parameters, payload);
    EXPECT_EQ(length, 24u);
    const auto decoded = pipe_message::decodeConnectParameters(payload, length);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->localIP, 0x010013c6u);
    EXPECT_EQ(decoded->localPort, 5000);
    EXPECT_EQ(decoded->windowSize, 196607u);
    EXPECT_EQ(decoded->devicePort, 80);
    EXPECT_EQ(decoded->deviceAddress, "198.18.11.20");

    EXPECT_FALSE(pipe_message::decodeConnectParameters(payload, 11));
    // An address text longer than a worker keeps is cut, never overrun.
    const std::string longText(300, '9');
    parameters.deviceAddress = longText;
    uint8_t big[512];
    EXPECT_EQ(pipe_message::encodeConnectParameters(parameters, big), 12u + 127u);
    EXPECT_EQ(pipe_message::decodeConnectParameters(big, 400)->deviceAddress.size(), 127u);
}

TEST(LanDeviceAuthDataRecord, OnlyTheExactSizeDecodesAndTextsStayInBounds) {
    LanDeviceAuthData record = makeLanDeviceAuthData();
    record.gcId = 7;
    record.ldId = 12;
    setAuthText(record.mac, "00:11:22:AA:BB:CC");
    setAuthText(record.sessionId, std::string(500, 's'));  // cut to 127 + terminator
    record.port = 554;
    std::vector<uint8_t> bytes(sizeof record + 1);
    std::memcpy(bytes.data(), &record, sizeof record);

    EXPECT_FALSE(decodeLanDeviceAuthData(bytes.data(), 651));
    EXPECT_FALSE(decodeLanDeviceAuthData(bytes.data(), 653));
    const auto decoded = decodeLanDeviceAuthData(bytes.data(), 652);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->gcId, 7u);
    EXPECT_EQ(decoded->ldId, 12u);
    EXPECT_STREQ(decoded->mac, "00:11:22:AA:BB:CC");
    EXPECT_EQ(std::string(decoded->sessionId).size(), 127u);
    EXPECT_EQ(decoded->port, 554);

    // A writer that filled a field to the brim: readers still stop inside it.
    std::vector<uint8_t> full(652, 'x');
    const auto clipped = decodeLanDeviceAuthData(full.data(), full.size());
    ASSERT_TRUE(clipped);
    EXPECT_EQ(std::string(clipped->mac).size(), 255u);
    EXPECT_EQ(std::string(clipped->ipOverride).size(), 127u);
}
