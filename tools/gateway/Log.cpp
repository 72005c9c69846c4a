// Timestamped log lines on stderr for tamblo-gateway.
#include "Log.h"

#include <arpa/inet.h>
#include <sys/time.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace gateway_log {

namespace {
int currentVerbosity = 0;
}

void setVerbosity(int verbosity) {
    currentVerbosity = verbosity;
}

bool enabled(int level) {
    return level <= currentVerbosity;
}

void line(const char* format, ...) {
    timeval now;
    gettimeofday(&now, nullptr);
    tm local;
    localtime_r(&now.tv_sec, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);

    // One buffer and one write, so that lines of a dying process are never interleaved.
    char text[1024];
    int used = std::snprintf(text, sizeof text, "%s.%03ld tamblo-gateway: ", stamp,
                             static_cast<long>(now.tv_usec / 1000));
    va_list arguments;
    va_start(arguments, format);
    const int body = std::vsnprintf(text + used, sizeof text - used - 1, format, arguments);
    va_end(arguments);
    used += body < 0 ? 0 : body;
    if (used > static_cast<int>(sizeof text) - 2) {
        used = static_cast<int>(sizeof text) - 2;
    }
    text[used++] = '\n';
    std::fwrite(text, 1, static_cast<size_t>(used), stderr);
}

Dotted dotted(const void* address) {
    Dotted out;
    inet_ntop(AF_INET, address, out.text, sizeof out.text);
    return out;
}

}  // namespace gateway_log
