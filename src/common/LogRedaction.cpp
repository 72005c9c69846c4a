// Session tags and the redaction of secrets in logged request text.
#include "common/LogRedaction.h"

#include <openssl/evp.h>

#include <cctype>
#include <cstdio>

namespace tamblo::logging {

namespace {
constexpr std::string_view kSessionOption = "JSESSIONID=";
constexpr std::string_view kSecretHeaders[] = {"authorization", "proxy-authorization", "cookie",
                                               "set-cookie"};
constexpr size_t kTagBytes = 4;  // 8 hex digits

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// A session value ends where a relay option value ends.
bool endsValue(char c) {
    return c == ',' || c == ';' || c == '\r' || c == '\n' || c == ' ' || c == '\t' || c == '\0';
}

std::string redactSessions(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t position = 0;
    for (;;) {
        const size_t found = text.find(kSessionOption, position);
        if (found == std::string_view::npos) {
            out.append(text.substr(position));
            return out;
        }
        const size_t start = found + kSessionOption.size();
        size_t end = start;
        while (end < text.size() && !endsValue(text[end])) {
            ++end;
        }
        out.append(text.substr(position, start - position));
        out.append(sessionTag(text.substr(start, end - start)));
        position = end;
    }
}

// One header line (without its line end): "Name: value" with a secret name loses its value.
void appendLine(std::string_view line, std::string* out) {
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos && isSecretHeader(line.substr(0, colon))) {
        out->append(line.substr(0, colon + 1));
        out->append(" <hidden>");
        return;
    }
    out->append(redactSessions(line));
}
}  // namespace

std::string sessionTag(std::string_view session) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(session.data(), session.size(), digest, &length, EVP_sha256(), nullptr) != 1 ||
        length < kTagBytes) {
        return "#????????";
    }
    char tag[2 + 2 * kTagBytes];
    std::snprintf(tag, sizeof tag, "#%02x%02x%02x%02x", digest[0], digest[1], digest[2], digest[3]);
    return tag;
}

bool isSecretHeader(std::string_view name) {
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) {
        name.remove_suffix(1);
    }
    for (const std::string_view secret : kSecretHeaders) {
        if (equalsIgnoringCase(name, secret)) {
            return true;
        }
    }
    return false;
}

std::string redactSecrets(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t position = 0;
    while (position < text.size()) {
        size_t end = text.find('\n', position);
        const bool last = end == std::string_view::npos;
        if (last) {
            end = text.size();
        }
        std::string_view line = text.substr(position, end - position);
        const bool carriageReturn = !line.empty() && line.back() == '\r';
        if (carriageReturn) {
            line.remove_suffix(1);
        }
        appendLine(line, &out);
        if (carriageReturn) {
            out.push_back('\r');
        }
        if (!last) {
            out.push_back('\n');
        }
        position = end + 1;
    }
    return out;
}

}  // namespace tamblo::logging
