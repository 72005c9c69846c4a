// Helpers shared by the unit tests of the server: captured log lines, a movable clock,
// loopback UDP sockets and an in-process server on the default loop.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <log4cplus/appender.h>
#include <log4cplus/logger.h>
#include <log4cplus/spi/loggingevent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/Clock.h"
#include "common/EventLoop.h"
#include "common/FileDescriptor.h"
#include "server/CommandLine.h"
#include "server/TambloServer.h"

namespace gateway_test {

using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------------------
// Log capture: every record of every logger, at TRACE, while the object lives.

struct LogLine {
    log4cplus::LogLevel level;
    std::string logger;
    std::string message;
};

class CapturingAppender final : public log4cplus::Appender {
  public:
    explicit CapturingAppender(std::shared_ptr<std::vector<LogLine>> sink)
        : sink_(std::move(sink)) {}
    ~CapturingAppender() override { destructorImpl(); }
    void close() override { closed = true; }

  protected:
    void append(const log4cplus::spi::InternalLoggingEvent& event) override {
        sink_->push_back({event.getLogLevel(), event.getLoggerName(), event.getMessage()});
    }

  private:
    std::shared_ptr<std::vector<LogLine>> sink_;
};

class LogCapture {
  public:
    LogCapture()
        : lines_(std::make_shared<std::vector<LogLine>>()),
          appender_(new CapturingAppender(lines_)) {
        log4cplus::Logger root = log4cplus::Logger::getRoot();
        previousLevel_ = root.getLogLevel();
        root.setLogLevel(log4cplus::TRACE_LOG_LEVEL);
        root.addAppender(appender_);
    }
    ~LogCapture() {
        log4cplus::Logger root = log4cplus::Logger::getRoot();
        root.removeAppender(appender_);
        root.setLogLevel(previousLevel_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const std::vector<LogLine>& lines() const { return *lines_; }
    void clear() { lines_->clear(); }

    size_t count(log4cplus::LogLevel level, const std::string& message) const {
        return static_cast<size_t>(std::count_if(
            lines_->begin(), lines_->end(),
            [&](const LogLine& line) { return line.level == level && line.message == message; }));
    }
    bool has(log4cplus::LogLevel level, const std::string& message) const {
        return count(level, message) > 0;
    }
    // Lines at the level whose message contains the text.
    size_t countContaining(log4cplus::LogLevel level, const std::string& text) const {
        return static_cast<size_t>(
            std::count_if(lines_->begin(), lines_->end(), [&](const LogLine& line) {
                return line.level == level && line.message.find(text) != std::string::npos;
            }));
    }

  private:
    std::shared_ptr<std::vector<LogLine>> lines_;
    log4cplus::SharedAppenderPtr appender_;
    log4cplus::LogLevel previousLevel_ = log4cplus::NOT_SET_LOG_LEVEL;
};

// ---------------------------------------------------------------------------------------
// Time

class FakeClock final : public Clock {
  public:
    explicit FakeClock(time_t seconds = 1'700'000'000) { now_.tv_sec = seconds; }
    timeval now() const override { return now_; }
    void set(time_t seconds, suseconds_t micros = 0) {
        now_.tv_sec = seconds;
        now_.tv_usec = micros;
    }
    void advance(time_t seconds) { now_.tv_sec += seconds; }

  private:
    timeval now_{};
};

inline timeval at(time_t seconds, suseconds_t micros = 0) {
    timeval tv{};
    tv.tv_sec = seconds;
    tv.tv_usec = micros;
    return tv;
}

// ---------------------------------------------------------------------------------------
// Loopback UDP

inline sockaddr_in loopback(uint16_t port, const char* host = "127.0.0.1") {
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, host, &address.sin_addr);
    return address;
}

// A UDP socket bound to a free loopback port: plays a gateway client's public address.
class UdpPeer {
  public:
    explicit UdpPeer(const char* host = "127.0.0.1") : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in address = loopback(0, host);
        EXPECT_EQ(0, ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address));
        socklen_t length = sizeof address_;
        getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address_), &length);
    }

    // The address as the server's receive path records it: family, port, address only.
    const sockaddr_in& address() const { return address_; }
    int fd() const { return fd_.get(); }

    // The next datagram within timeoutMs, or nothing.
    std::optional<Bytes> receive(int timeoutMs = 1000) const {
        pollfd p{fd_.get(), POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1) {
            return std::nullopt;
        }
        Bytes buffer(65536);
        const ssize_t n = ::recv(fd_.get(), buffer.data(), buffer.size(), 0);
        if (n < 0) {
            return std::nullopt;
        }
        buffer.resize(static_cast<size_t>(n));
        return buffer;
    }

  private:
    UniqueFd fd_;
    sockaddr_in address_{};
};

// ---------------------------------------------------------------------------------------
// An in-process server on free ports, on the process's default loop (never run: tests call
// its handlers directly).

inline ServerSettings testSettings() {
    ServerSettings settings;
    settings.gcPort = 0;
    settings.ctrlPort = 0;
    settings.proxyPort = 0;
    settings.restPort = 0;
    return settings;
}

inline TambloServer& defaultLoopServer(std::unique_ptr<TambloServer>& holder,
                                       Clock& clock = systemClock()) {
    loop = ev_default_loop(0);
    holder = std::make_unique<TambloServer>(testSettings(), clock);
    return *holder;
}

inline Bytes hexBytes(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

}  // namespace gateway_test
