// Configuring log4cplus from the property file at start.
#include "common/Logging.h"

#include <log4cplus/configurator.h>
#include <log4cplus/helpers/property.h>
#include <log4cplus/hierarchy.h>
#include <log4cplus/loglevel.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

namespace log4cplus {
// Exported by log4cplus 2.0 and declared in its internal headers only.
void shutdownThreadPool();
}  // namespace log4cplus

namespace tamblo::logging {

namespace {
constexpr const char* kConfigurationFile = "TambloServer_log.conf";

bool readable(const std::string& path) {
    return ::access(path.c_str(), R_OK) == 0;
}

std::string executableDirectory() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return {};
    }
    std::string text(path, static_cast<size_t>(n));
    const size_t slash = text.rfind('/');
    return slash == std::string::npos ? std::string() : text.substr(0, slash);
}
// The server, its worker zygote and the workers write to the same log files from processes
// that each open them: every file appender appends (O_APPEND), or one process's lines would
// overwrite another's, and a zygote started later would truncate what the server wrote.
void configureAppending(const std::string& path) {
    log4cplus::helpers::Properties properties{LOG4CPLUS_STRING_TO_TSTRING(path)};
    const std::string prefix = "log4cplus.appender.";
    for (const auto& key : properties.propertyNames()) {
        const std::string name = LOG4CPLUS_TSTRING_TO_STRING(key);
        const std::string kind = LOG4CPLUS_TSTRING_TO_STRING(properties.getProperty(key));
        if (name.compare(0, prefix.size(), prefix) == 0 &&
            name.find('.', prefix.size()) == std::string::npos &&
            kind.find("FileAppender") != std::string::npos) {
            properties.setProperty(LOG4CPLUS_STRING_TO_TSTRING(name + ".Append"),
                                   LOG4CPLUS_TEXT("true"));
        }
    }
    log4cplus::PropertyConfigurator configurator{properties};
    configurator.configure();
}
}  // namespace

std::string configureLogging(const char*, const std::string& explicitPath) {
    // The working directory first; then beside the binary and one level up, so that
    // build/TambloServer started from elsewhere finds the file of its source tree.
    std::vector<std::string> candidates = {kConfigurationFile};
    if (!explicitPath.empty()) {
        candidates = {explicitPath};
    }
    const std::string directory = explicitPath.empty() ? executableDirectory() : std::string();
    if (!directory.empty()) {
        candidates.push_back(directory + "/" + kConfigurationFile);
        candidates.push_back(directory + "/../" + kConfigurationFile);
    }
    for (const std::string& path : candidates) {
        if (readable(path)) {
            configureAppending(path);
            return path;
        }
    }
    log4cplus::BasicConfigurator basic;
    basic.configure();
    log4cplus::Logger::getRoot().setLogLevel(log4cplus::INFO_LOG_LEVEL);
    return {};
}

void stopLibraryThreads() {
    log4cplus::shutdownThreadPool();
}

std::string reconfigureLogging(const std::string& explicitPath) {
    log4cplus::Logger::getDefaultHierarchy().resetConfiguration();
    return configureLogging(nullptr, explicitPath);
}

}  // namespace tamblo::logging
