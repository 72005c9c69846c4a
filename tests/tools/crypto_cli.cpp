// Command-line access to the crypto module for interoperability tests: key pairs, envelope
// encryption and decryption, all arguments and results in hexadecimal.
//
//   tamblo-crypto-cli keypair                                 -> "<private> <public>"
//   tamblo-crypto-cli public <private>                        -> "<public>"
//   tamblo-crypto-cli key <private> <peer-public>             -> "<aes-key>"
//   tamblo-crypto-cli encrypt <private> <peer-public> <plain> -> "<envelope>"
//   tamblo-crypto-cli decrypt <private> <peer-public> <env>   -> "<plain>", exit 1 if refused
#include <sys/random.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "encryption.h"

namespace {

using Bytes = std::vector<uint8_t>;

bool fromHex(const char* hex, Bytes* out) {
    const size_t len = std::strlen(hex);
    if (len % 2 != 0) {
        return false;
    }
    out->clear();
    for (size_t i = 0; i < len; i += 2) {
        unsigned value = 0;
        if (std::sscanf(hex + i, "%2x", &value) != 1) {
            return false;
        }
        out->push_back(static_cast<uint8_t>(value));
    }
    return true;
}

void printHex(const uint8_t* data, size_t len) {
    for (size_t i = 0; i < len; ++i) {
        std::printf("%02x", data[i]);
    }
}

// The module draws the private key from its random source; this one hands out a given key.
Bytes givenKey;
bool givenKeySource(uint8_t* out, size_t len) {
    if (len != givenKey.size()) {
        return false;
    }
    std::memcpy(out, givenKey.data(), len);
    return true;
}

CryptoContextPtr contextWithKey(const Bytes& key) {
    if (key.size() != kCryptoKeySize) {
        return nullptr;
    }
    givenKey = key;
    cryptoSetRandomSource(givenKeySource);
    CryptoContextPtr context(cryptoNew());
    // Vectors must come from the system again.
    cryptoSetRandomSource(nullptr);
    return context;
}

CryptoContextPtr contextWithKey(const char* privateHex) {
    Bytes key;
    return fromHex(privateHex, &key) ? contextWithKey(key) : nullptr;
}

CryptoContextPtr agreedContext(const char* privateHex, const char* peerHex) {
    CryptoContextPtr context = contextWithKey(privateHex);
    Bytes peer;
    if (!context || !fromHex(peerHex, &peer) || peer.size() != kCryptoKeySize ||
        !cryptoSetRemoteKey(context.get(), peer.data())) {
        return nullptr;
    }
    return context;
}

int usage() {
    std::fprintf(stderr,
                 "usage: tamblo-crypto-cli keypair | public <priv> | key <priv> <peer> |\n"
                 "       encrypt <priv> <peer> <plain> | decrypt <priv> <peer> <envelope>\n");
    return 2;
}

int process(CryptoDirection direction, const char* privateHex, const char* peerHex,
            const char* dataHex) {
    CryptoContextPtr context = agreedContext(privateHex, peerHex);
    Bytes input;
    if (!context || !fromHex(dataHex, &input)) {
        std::fprintf(stderr, "bad key or data\n");
        return 2;
    }
    uint32_t outLength = 0;
    uint8_t* out = cryptoProcessBuf(context.get(), direction, input.data(),
                                    static_cast<uint32_t>(input.size()), nullptr, &outLength);
    if (out == nullptr) {
        std::fprintf(stderr, "refused\n");
        return 1;
    }
    printHex(out, outLength);
    std::printf("\n");
    std::free(out);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return usage();
    }
    const std::string command = argv[1];
    if (command == "keypair" && argc == 2) {
        // The module keeps its private key to itself, so the pair is made from a key drawn here.
        Bytes key(kCryptoKeySize);
        if (getrandom(key.data(), key.size(), 0) != static_cast<ssize_t>(key.size())) {
            return 1;
        }
        CryptoContextPtr context = contextWithKey(key);
        if (!context) {
            return 1;
        }
        printHex(key.data(), key.size());
        std::printf(" ");
        printHex(cryptoGetPublicKey(context.get()), kCryptoKeySize);
        std::printf("\n");
        return 0;
    }
    if (command == "public" && argc == 3) {
        CryptoContextPtr context = contextWithKey(argv[2]);
        if (!context) {
            return 2;
        }
        printHex(cryptoGetPublicKey(context.get()), kCryptoKeySize);
        std::printf("\n");
        return 0;
    }
    if (command == "key" && argc == 4) {
        CryptoContextPtr context = agreedContext(argv[2], argv[3]);
        if (!context) {
            return 1;
        }
        printHex(cryptoGetAESKey(context.get()), kCryptoAesKeySize);
        std::printf("\n");
        return 0;
    }
    if (command == "encrypt" && argc == 5) {
        return process(CryptoEncrypt, argv[2], argv[3], argv[4]);
    }
    if (command == "decrypt" && argc == 5) {
        return process(CryptoDecrypt, argv[2], argv[3], argv[4]);
    }
    return usage();
}
