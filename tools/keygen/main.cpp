// tamblo-keygen: makes the X25519 key pairs of the authenticated gateway registration.
//
//   tamblo-keygen FILE           writes a new private key to FILE (created, mode 0600; an
//                                existing file is left alone) and prints its public key
//   tamblo-keygen --public FILE  prints the public key of the private key in FILE
//
// The server's FILE is its --server-key; a gateway's public key goes into the server's
// --gateway-keys file beside the gateway's id. Keys are base64 of 32 bytes, one line.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "protocol/NoiseCrypto.h"
#include "server/GatewayKeys.h"

namespace {

int usage(FILE* out, int status) {
    std::fprintf(out,
                 "usage: tamblo-keygen FILE           write a new private key to FILE (mode 0600)\n"
                 "                                    and print its public key\n"
                 "       tamblo-keygen --public FILE  print the public key of the private key "
                 "in FILE\n");
    return status;
}

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            return false;
        }
        done += static_cast<size_t>(wrote);
    }
    return true;
}

int generate(const char* path) {
    std::optional<noise::KeyPair> pair = noise::generateKeyPair();
    if (!pair) {
        std::fprintf(stderr, "tamblo-keygen: no random bytes from the system\n");
        return 1;
    }
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        std::fprintf(stderr, "tamblo-keygen: %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    std::string line = gateway_keys::encodeBase64Key(pair->privateKey.data()) + "\n";
    // The mode asked for at creation went through the umask; the key needs exactly 0600.
    const bool ok = ::fchmod(fd, 0600) == 0 && writeAll(fd, line) && ::fsync(fd) == 0;
    OPENSSL_cleanse(line.data(), line.size());
    if (!ok) {
        std::fprintf(stderr, "tamblo-keygen: %s: %s\n", path, std::strerror(errno));
        ::close(fd);
        ::unlink(path);
        return 1;
    }
    if (::close(fd) != 0) {
        std::fprintf(stderr, "tamblo-keygen: %s: %s\n", path, std::strerror(errno));
        ::unlink(path);
        return 1;
    }
    std::printf("%s\n", gateway_keys::encodeBase64Key(pair->publicKey.data()).c_str());
    return 0;
}

int printPublic(const char* path) {
    std::string error;
    std::optional<noise::KeyPair> pair = gateway_keys::loadServerKey(path, &error);
    if (!pair) {
        std::fprintf(stderr, "tamblo-keygen: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", gateway_keys::encodeBase64Key(pair->publicKey.data()).c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        return usage(stdout, 0);
    }
    if (argc == 3 && std::strcmp(argv[1], "--public") == 0) {
        return printPublic(argv[2]);
    }
    if (argc == 2 && argv[1][0] != '-') {
        return generate(argv[1]);
    }
    return usage(stderr, 2);
}
