// Owning wrapper for a file descriptor: closes it when destroyed; and the standard streams
// of a process whose starter closed them.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <utility>

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }

    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

    int release() { return std::exchange(fd_, -1); }

    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

// Points descriptors 0-2 that are not open at /dev/null, so that no descriptor opened or
// received later becomes one of them and takes a library's output (the frameworks log to 2).
inline void openClosedStandardStreams() {
    for (int stream = 0; stream <= 2; ++stream) {
        if (::fcntl(stream, F_GETFD) != -1) {
            continue;
        }
        const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null >= 0 && null != stream) {
            ::dup2(null, stream);  // without close-on-exec, as a standard stream is
            ::close(null);
        } else if (null == stream) {
            ::fcntl(stream, F_SETFD, 0);
        }
    }
}
