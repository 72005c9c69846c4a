// Parsing of the server key and gateway keys files.
#include "server/GatewayKeys.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace gateway_keys {

namespace {

constexpr char kSpaces[] = " \t\r";
constexpr size_t kReadChunk = 4096;

std::string_view trim(std::string_view text) {
    const size_t first = text.find_first_not_of(kSpaces);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kSpaces) - first + 1);
}

// Calls visit(lineNumber, line) for each line that is neither blank nor a comment; stops at
// the first visit that returns false.
template <typename Visit>
bool forEachEntry(std::string_view text, Visit visit) {
    size_t number = 0;
    while (!text.empty()) {
        ++number;
        const size_t end = text.find('\n');
        const std::string_view line = trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (!visit(number, line)) {
            return false;
        }
    }
    return true;
}

bool allZero(const uint8_t* key) {
    uint8_t bits = 0;
    for (size_t i = 0; i < noise::kDhLen; ++i) {
        bits |= key[i];
    }
    return bits == 0;
}

// The whole file, refused when it is not a regular file, too large, or (with privateKey) open
// to others.
bool readKeyFile(const std::string& path, size_t maxSize, bool privateKey, std::string* text,
                 std::string* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat status {};
    bool ok = ::fstat(fd, &status) == 0;
    if (!ok) {
        *error = path + ": " + std::strerror(errno);
    } else if (!S_ISREG(status.st_mode)) {
        *error = path + ": not a regular file";
        ok = false;
    } else if (static_cast<size_t>(status.st_size) > maxSize) {
        *error = path + ": larger than " + std::to_string(maxSize) + " bytes";
        ok = false;
    } else if (privateKey && (status.st_mode & S_IRWXO) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
        *error = path + ": accessible to others (mode " + mode + "); chmod o= it (0600 or 0640)";
        ok = false;
    }
    // Reserved up front, so that the text of a private key is never left behind in memory
    // by a reallocation.
    if (ok) {
        text->clear();
        text->reserve(std::min(static_cast<size_t>(status.st_size), maxSize) + kReadChunk);
    }
    char chunk[kReadChunk];
    while (ok) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            *error = path + ": " + std::strerror(errno);
            ok = false;
        } else if (got == 0) {
            break;
        } else if (text->size() + static_cast<size_t>(got) > maxSize) {
            *error = path + ": larger than " + std::to_string(maxSize) + " bytes";
            ok = false;
        } else {
            text->append(chunk, static_cast<size_t>(got));
        }
    }
    OPENSSL_cleanse(chunk, sizeof chunk);
    if (!ok) {
        OPENSSL_cleanse(text->data(), text->size());
        text->clear();
    }
    ::close(fd);
    return ok;
}

}  // namespace

std::string describe(const std::string& path, const ParseError& error) {
    if (error.line == 0) {
        return path + ": " + error.reason;
    }
    return path + ": line " + std::to_string(error.line) + ": " + error.reason;
}

std::string encodeBase64Key(const uint8_t key[noise::kDhLen]) {
    char text[kBase64KeySize + 1];
    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text), key, noise::kDhLen);
    return std::string(text, kBase64KeySize);
}

bool decodeBase64Key(std::string_view text, uint8_t out[noise::kDhLen]) {
    if (text.size() != kBase64KeySize) {
        return false;
    }
    uint8_t decoded[noise::kDhLen + 1];
    // EVP_DecodeBlock counts the padding as decoded bytes: 44 characters give 33.
    if (EVP_DecodeBlock(decoded, reinterpret_cast<const unsigned char*>(text.data()),
                        static_cast<int>(text.size())) != noise::kDhLen + 1) {
        return false;
    }
    // Only the canonical form: it re-encodes to the same text (padding and unused bits).
    if (encodeBase64Key(decoded) != text) {
        OPENSSL_cleanse(decoded, sizeof decoded);
        return false;
    }
    std::memcpy(out, decoded, noise::kDhLen);
    OPENSSL_cleanse(decoded, sizeof decoded);
    return true;
}

std::optional<noise::KeyPair> parseServerKey(std::string_view text, ParseError* error) {
    noise::Secret<noise::kDhLen> key;
    size_t keyLine = 0;
    const bool ok = forEachEntry(text, [&](size_t number, std::string_view line) {
        if (keyLine != 0) {
            *error = {number, "a second key (the first is on line " + std::to_string(keyLine) +
                                  "); the file holds one"};
            return false;
        }
        if (!decodeBase64Key(line, key.data())) {
            *error = {number, "not the base64 of a 32-byte key"};
            return false;
        }
        keyLine = number;
        return true;
    });
    if (!ok) {
        return std::nullopt;
    }
    if (keyLine == 0) {
        *error = {0, "no key"};
        return std::nullopt;
    }
    std::optional<noise::KeyPair> pair = noise::keyPairFromPrivate(key.data());
    if (!pair) {
        *error = {keyLine, "not a usable X25519 private key"};
    }
    return pair;
}

std::optional<noise::KeyPair> loadServerKey(const std::string& path, std::string* error) {
    std::string text;
    if (!readKeyFile(path, kMaxServerKeyFileSize, true, &text, error)) {
        return std::nullopt;
    }
    ParseError parseError;
    std::optional<noise::KeyPair> pair = parseServerKey(text, &parseError);
    OPENSSL_cleanse(text.data(), text.size());
    if (!pair) {
        *error = describe(path, parseError);
    }
    return pair;
}

size_t GatewayKeyTable::KeyHash::operator()(const noise::PublicKey& key) const {
    size_t value;
    std::memcpy(&value, key.data(), sizeof value);  // public keys are uniformly distributed
    return value;
}

const noise::PublicKey* GatewayKeyTable::keyOf(std::string_view id) const {
    const auto found = keys_.find(std::string(id));
    return found == keys_.end() ? nullptr : &found->second;
}

const std::string* GatewayKeyTable::idOf(const noise::PublicKey& key) const {
    const auto found = ids_.find(key);
    return found == ids_.end() ? nullptr : &found->second;
}

std::optional<GatewayKeyTable> parseGatewayKeys(std::string_view text, ParseError* error) {
    GatewayKeyTable table;
    std::unordered_map<std::string, size_t> idLines;
    std::unordered_map<noise::PublicKey, size_t, GatewayKeyTable::KeyHash> keyLines;
    const bool ok = forEachEntry(text, [&](size_t number, std::string_view line) {
        const size_t idEnd = line.find_first_of(kSpaces);
        const std::string_view keyText =
            idEnd == std::string_view::npos ? std::string_view() : trim(line.substr(idEnd));
        if (keyText.empty() || keyText.find_first_of(kSpaces) != std::string_view::npos) {
            *error = {number, "expected an id and a base64 public key"};
            return false;
        }
        const std::string id(line.substr(0, idEnd));
        noise::PublicKey key;
        if (id.size() > kMaxIdLength) {
            *error = {number, "id longer than " + std::to_string(kMaxIdLength) + " bytes"};
            return false;
        }
        if (!decodeBase64Key(keyText, key.data())) {
            *error = {number, "the key is not the base64 of 32 bytes"};
            return false;
        }
        if (allZero(key.data())) {
            *error = {number, "the key is all zero"};
            return false;
        }
        if (const auto first = idLines.find(id); first != idLines.end()) {
            *error = {number, "duplicate id \"" + id + "\" (first on line " +
                                  std::to_string(first->second) + ")"};
            return false;
        }
        if (const auto first = keyLines.find(key); first != keyLines.end()) {
            *error = {number, "duplicate key (first on line " + std::to_string(first->second) +
                                  ", id \"" + table.ids_[key] + "\")"};
            return false;
        }
        idLines.emplace(id, number);
        keyLines.emplace(key, number);
        table.keys_.emplace(id, key);
        table.ids_.emplace(key, id);
        return true;
    });
    if (!ok) {
        return std::nullopt;
    }
    return table;
}

std::optional<GatewayKeyTable> loadGatewayKeys(const std::string& path, std::string* error) {
    std::string text;
    if (!readKeyFile(path, kMaxGatewayKeysFileSize, false, &text, error)) {
        return std::nullopt;
    }
    ParseError parseError;
    std::optional<GatewayKeyTable> table = parseGatewayKeys(text, &parseError);
    if (!table) {
        *error = describe(path, parseError);
    }
    return table;
}

}  // namespace gateway_keys
