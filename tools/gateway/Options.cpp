// Parsing and checking of the tamblo-gateway command line (getopt_long).
#include "Options.h"

#include <arpa/inet.h>
#include <getopt.h>
#include <netdb.h>
#include <net/if.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

enum OptionId {
    kServer = 1000,
    kServerPort,
    kSourcePort,
    kMac,
    kCustomId,
    kLocalIp,
    kPortRange,
    kType,
    kEncrypt,
    kKeyFile,
    kServerPublicKey,
    kTun,
    kNoConfigure,
    kNoOffload,
    kKeepaliveInterval,
    kAllowDest,
    kHelp,
};

const option kLongOptions[] = {
    {"server", required_argument, nullptr, kServer},
    {"server-port", required_argument, nullptr, kServerPort},
    {"source-port", required_argument, nullptr, kSourcePort},
    {"mac", required_argument, nullptr, kMac},
    {"custom-id", required_argument, nullptr, kCustomId},
    {"local-ip", required_argument, nullptr, kLocalIp},
    {"port-range", required_argument, nullptr, kPortRange},
    {"type", required_argument, nullptr, kType},
    {"encrypt", no_argument, nullptr, kEncrypt},
    {"key-file", required_argument, nullptr, kKeyFile},
    {"server-public-key", required_argument, nullptr, kServerPublicKey},
    {"tun", required_argument, nullptr, kTun},
    {"no-configure", no_argument, nullptr, kNoConfigure},
    {"no-offload", no_argument, nullptr, kNoOffload},
    {"keepalive-interval", required_argument, nullptr, kKeepaliveInterval},
    {"allow-dest", required_argument, nullptr, kAllowDest},
    {"verbose", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, kHelp},
    {nullptr, 0, nullptr, 0},
};

constexpr const char* kDefaultLocalIp = "198.19.255.1";

// Whole decimal number within [low, high]; no sign, no trailing text.
bool parseNumber(const char* text, unsigned long low, unsigned long high, unsigned long* out) {
    if (text == nullptr || *text < '0' || *text > '9') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < low || value > high) {
        return false;
    }
    *out = value;
    return true;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool parseMac(const char* text, uint8_t* mac) {
    if (std::strlen(text) != 17) {
        return false;
    }
    for (size_t i = 0; i < gateway_datagram::kMacSize; ++i) {
        const char* p = text + i * 3;
        const int high = hexDigit(p[0]);
        const int low = hexDigit(p[1]);
        if (high < 0 || low < 0 || (i + 1 < gateway_datagram::kMacSize && p[2] != ':')) {
            return false;
        }
        mac[i] = static_cast<uint8_t>(high * 16 + low);
    }
    return true;
}

bool parseIpv4(const char* text, in_addr* out) {
    return inet_pton(AF_INET, text, out) == 1;
}

bool parsePortRange(const char* text, uint16_t* start, uint16_t* end) {
    const char* dash = std::strchr(text, '-');
    if (dash == nullptr) {
        return false;
    }
    const std::string first(text, dash);
    unsigned long from = 0;
    unsigned long to = 0;
    if (!parseNumber(first.c_str(), 1, 65535, &from) || !parseNumber(dash + 1, 1, 65535, &to) ||
        from >= to) {
        return false;
    }
    *start = static_cast<uint16_t>(from);
    *end = static_cast<uint16_t>(to);
    return true;
}

ParsedOptions fail(std::string message) {
    ParsedOptions result;
    result.outcome = OptionsOutcome::Error;
    result.message = std::move(message);
    return result;
}

}  // namespace

std::string usageText(const char* program) {
    std::string text = "Usage: ";
    text += program;
    text +=
        " --server ADDR --mac XX:XX:XX:XX:XX:XX [options]\n"
        "\n"
        "Reference gateway client: keeps a UDP association with a TambloServer and delivers\n"
        "the TCP segments tunnelled through it to LAN devices via a TUN device.\n"
        "\n"
        "  --server LIST              the server: an IPv4 address or host name, with\n"
        "                             :PORT if not --server-port; several, comma-\n"
        "                             separated (a name: all its addresses), are\n"
        "                             tried in turn when keepalives go unanswered\n"
        "  --server-port PORT         UDP gateway port of the server (default 8300)\n"
        "  --source-port PORT         UDP port to send from (default: any free port)\n"
        "  --mac XX:XX:XX:XX:XX:XX    MAC address that identifies this gateway (required)\n"
        "  --custom-id ID             register under this device id (1-255 bytes) instead of\n"
        "                             the MAC\n"
        "  --local-ip A.B.C.D         address given to the server's end of tunnelled\n"
        "                             connections; source of the packets towards devices\n"
        "                             (default 198.19.255.1)\n"
        "  --port-range START-END     local ports offered to the server, END exclusive\n"
        "                             (default 40000-41000)\n"
        "  --type N                   gateway type byte, 0-255 (default 0; 2 = large window)\n"
        "  --encrypt                  register with a fresh X25519 key and encrypt datagrams\n"
        "  --key-file FILE            register with version 2 (Noise IK): this gateway's\n"
        "                             private key (tamblo-keygen), with\n"
        "  --server-public-key KEY    the server's public key: base64, or a file holding it\n"
        "  --tun NAME                 TUN device name (default tamblo0)\n"
        "  --no-configure             leave the TUN down and add no route (configure it\n"
        "                             yourself: link up, MTU 1500, route LOCAL-IP/32 via it)\n"
        "  --no-offload               move every segment through the TUN device and the socket\n"
        "                             on its own (default: large packets and batches where\n"
        "                             the kernel offers them; the wire is the same)\n"
        "  --keepalive-interval SEC   seconds between keepalives, 1-3600 (default 60)\n"
        "  --allow-dest CIDR          deliver only to devices in this prefix (repeatable;\n"
        "                             default: any address but loopback, multicast,\n"
        "                             broadcast and the gateway's own)\n"
        "  -v, --verbose              log to stderr; twice: every packet\n"
        "  --help                     this text\n"
        "\n"
        "Exit status: 0 after SIGINT/SIGTERM, 1 when the TUN or the socket cannot be set up,\n"
        "2 for invalid arguments. SIGUSR1 prints the packet counters.\n";
    return text;
}

ParsedOptions parseOptions(const std::vector<std::string>& arguments) {
    std::vector<std::string> copies(arguments);
    std::vector<char*> argv;
    for (std::string& argument : copies) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    const int argc = static_cast<int>(copies.size());

    ParsedOptions result;
    GatewayOptions& options = result.options;
    parseIpv4(kDefaultLocalIp, &options.localIp);
    bool haveServer = false;
    std::string serverList;
    bool haveMac = false;

    // getopt keeps global state; 0 makes glibc start afresh (the unit tests parse many times).
    optind = 0;
    opterr = 0;
    for (;;) {
        const int id = getopt_long(argc, argv.data(), ":v", kLongOptions, nullptr);
        if (id == -1) {
            break;
        }
        const char* value = optarg;
        unsigned long number = 0;
        switch (id) {
            case kServer:
                serverList = value;  // resolved once --server-port is known
                haveServer = true;
                break;
            case kServerPort:
                if (!parseNumber(value, 1, 65535, &number)) {
                    return fail(std::string("--server-port: not a port (1-65535): ") + value);
                }
                options.serverPort = static_cast<uint16_t>(number);
                break;
            case kSourcePort:
                if (!parseNumber(value, 1, 65535, &number)) {
                    return fail(std::string("--source-port: not a port (1-65535): ") + value);
                }
                options.sourcePort = static_cast<uint16_t>(number);
                break;
            case kMac:
                if (!parseMac(value, options.mac)) {
                    return fail(std::string("--mac: expected XX:XX:XX:XX:XX:XX, got: ") + value);
                }
                haveMac = true;
                break;
            case kCustomId:
                if (std::strlen(value) == 0 || std::strlen(value) > 255) {
                    return fail("--custom-id: the id must have 1 to 255 bytes");
                }
                options.customId = value;
                break;
            case kLocalIp:
                if (!parseIpv4(value, &options.localIp) || options.localIp.s_addr == INADDR_ANY ||
                    options.localIp.s_addr == INADDR_BROADCAST) {
                    return fail(std::string("--local-ip: not a usable IPv4 address: ") + value);
                }
                break;
            case kPortRange:
                if (!parsePortRange(value, &options.portStart, &options.portEnd)) {
                    return fail(std::string("--port-range: expected START-END with "
                                            "1 <= START < END <= 65535, got: ") +
                                value);
                }
                break;
            case kType:
                if (!parseNumber(value, 0, 255, &number)) {
                    return fail(std::string("--type: expected 0-255, got: ") + value);
                }
                options.type = static_cast<uint8_t>(number);
                break;
            case kEncrypt:
                options.encrypt = true;
                break;
            case kKeyFile:
                options.keyFile = value;
                break;
            case kServerPublicKey:
                options.serverPublicKey = value;
                break;
            case kTun:
                if (std::strlen(value) == 0 || std::strlen(value) >= IFNAMSIZ ||
                    std::strchr(value, '/') != nullptr) {
                    return fail(std::string("--tun: not a valid interface name: ") + value);
                }
                options.tunName = value;
                break;
            case kNoConfigure:
                options.configure = false;
                break;
            case kNoOffload:
                options.offload = false;
                break;
            case kKeepaliveInterval:
                if (!parseNumber(value, 1, 3600, &number)) {
                    return fail(
                        std::string("--keepalive-interval: expected 1-3600 seconds, got: ") +
                        value);
                }
                options.keepaliveInterval = static_cast<unsigned>(number);
                break;
            case kAllowDest: {
                gateway_ip::Prefix prefix;
                if (!gateway_ip::parsePrefix(value, &prefix)) {
                    return fail(std::string("--allow-dest: expected A.B.C.D/N, got: ") + value);
                }
                options.allowedDestinations.push_back(prefix);
                break;
            }
            case 'v':
                ++options.verbosity;
                break;
            case kHelp:
                result.outcome = OptionsOutcome::Help;
                return result;
            case ':':
                return fail(std::string("option needs a value: ") + argv[optind - 1]);
            default:
                // Short options report themselves in optopt; long ones only by position.
                if (optopt > 0 && optopt < 128) {
                    return fail(std::string("unknown option: -") + static_cast<char>(optopt));
                }
                return fail(std::string("unknown option: ") + argv[optind - 1]);
        }
    }
    if (optind < argc) {
        // getopt_long moved the operands behind the options.
        return fail(std::string("unexpected argument: ") + argv[optind]);
    }
    if (!haveServer) {
        return fail("--server is required");
    }
    if (options.keyFile.empty() != options.serverPublicKey.empty()) {
        return fail("--key-file and --server-public-key go together (version 2 registration)");
    }
    if (!options.keyFile.empty() && options.encrypt) {
        return fail("--encrypt is the version 1 envelope; version 2 seals every datagram anyway");
    }
    std::string serverError;
    options.servers = parseServerList(serverList, options.serverPort, &serverError);
    if (options.servers.empty()) {
        return fail("--server: " + serverError);
    }
    options.server = options.servers.front().sin_addr;
    options.serverPort = ntohs(options.servers.front().sin_port);
    if (!haveMac) {
        return fail("--mac is required");
    }
    result.outcome = OptionsOutcome::Run;
    return result;
}
