# Finds the system libraries that Debian's -dev packages provide (see scripts/install-deps).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
find_package(Boost 1.74 REQUIRED COMPONENTS system thread chrono)

pkg_check_modules(LOG4CPLUS REQUIRED IMPORTED_TARGET log4cplus)
pkg_check_modules(JSONCPP REQUIRED IMPORTED_TARGET jsoncpp)
pkg_check_modules(EVHTP REQUIRED IMPORTED_TARGET evhtp)
pkg_check_modules(LIBVLC REQUIRED IMPORTED_TARGET libvlc)
pkg_check_modules(LIBAV REQUIRED IMPORTED_TARGET libavformat libavcodec libavutil)
pkg_check_modules(MICROHTTPD REQUIRED IMPORTED_TARGET libmicrohttpd)
pkg_check_modules(SECCOMP REQUIRED IMPORTED_TARGET libseccomp)
# The gateway directory shared by several servers (PostgreSQL's client library).
pkg_check_modules(LIBPQ REQUIRED IMPORTED_TARGET libpq)

# libev ships no pkg-config file on Debian.
find_path(LIBEV_INCLUDE_DIR ev.h REQUIRED)
find_library(LIBEV_LIBRARY ev REQUIRED)
add_library(tamblo::libev UNKNOWN IMPORTED)
set_target_properties(tamblo::libev PROPERTIES
  IMPORTED_LOCATION ${LIBEV_LIBRARY}
  INTERFACE_INCLUDE_DIRECTORIES ${LIBEV_INCLUDE_DIR})
