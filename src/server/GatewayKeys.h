// The key files of the version 2 gateway registration and their parsers:
//
//   --server-key=FILE    the server's static private key: one line, the base64 of 32 bytes
//                        (the public key is derived from it). Comment lines (#) and blank
//                        lines are allowed around it. The file must not be accessible to
//                        others (no "other" permission bits): the key is what proves the
//                        server to its gateways. Group read is allowed, so that a package can
//                        hand the file to the service's group.
//   --gateway-keys=FILE  one line per gateway: its id (the gateway's key as the server names
//                        it: the MAC text or the custom id, no white space) and the base64 of
//                        its 32-byte public key, separated by white space. Comment lines and
//                        blank lines are allowed; a duplicate id or key is refused with both
//                        lines named.
//
// Errors name the file, the line and the reason. Read by the server's parent process (the
// later registration code) and by tamblo-keygen, which writes the private key files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "protocol/NoiseCrypto.h"

namespace gateway_keys {

constexpr size_t kBase64KeySize = 44;  // 32 bytes: 43 characters and one "="
constexpr size_t kMaxIdLength = 255;
constexpr size_t kMaxServerKeyFileSize = 4096;
constexpr size_t kMaxGatewayKeysFileSize = 16 << 20;

struct ParseError {
    size_t line = 0;  // 1-based; 0 for the file as a whole
    std::string reason;
};
// "FILE: line N: reason" (or "FILE: reason").
std::string describe(const std::string& path, const ParseError& error);

std::string encodeBase64Key(const uint8_t key[noise::kDhLen]);
// Exactly the canonical base64 of 32 bytes.
bool decodeBase64Key(std::string_view text, uint8_t out[noise::kDhLen]);

std::optional<noise::KeyPair> parseServerKey(std::string_view text, ParseError* error);
std::optional<noise::KeyPair> loadServerKey(const std::string& path, std::string* error);

class GatewayKeyTable {
  public:
    // The key pinned for an id, or nullptr.
    const noise::PublicKey* keyOf(std::string_view id) const;
    // The id a key is pinned for, or nullptr.
    const std::string* idOf(const noise::PublicKey& key) const;
    size_t size() const { return keys_.size(); }

  private:
    friend std::optional<GatewayKeyTable> parseGatewayKeys(std::string_view, ParseError*);
    struct KeyHash {
        size_t operator()(const noise::PublicKey& key) const;
    };
    std::unordered_map<std::string, noise::PublicKey> keys_;
    std::unordered_map<noise::PublicKey, std::string, KeyHash> ids_;
};

std::optional<GatewayKeyTable> parseGatewayKeys(std::string_view text, ParseError* error);
std::optional<GatewayKeyTable> loadGatewayKeys(const std::string& path, std::string* error);

}  // namespace gateway_keys
