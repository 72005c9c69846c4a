// Relay options: the field extraction, the services they choose, and when a request names a
// new target.
#include "worker/videorecorder_intake.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "protocol/LanDeviceAuthData.h"
#include "protocol/PipeMessage.h"
#include "src/server/GatewayTestSupport.h"
#include "worker/videorecorder_state.h"

namespace {

std::string field(const char* buffer, const char* name, size_t size = 64) {
    char value[256];
    const char* found = extractFieldValue(buffer, name, value, size);
    return found == nullptr ? "<none>" : std::string(found);
}

// A worker state whose parent pipe the test reads.
class IntakeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        worker::resetState();
        ASSERT_EQ(::pipe(toParent), 0);
        worker::state().fdUDPOutput = toParent[1];
        worker::state().isProxy = true;
    }
    void TearDown() override {
        ::close(toParent[0]);
        ::close(toParent[1]);
    }
    // Puts a request into the client buffer, as the read path does, and extracts from text.
    bool extract(const std::string& request, const std::string& text) {
        worker::State& s = worker::state();
        std::snprintf(s.intake.clientInbuf, sizeof s.intake.clientInbuf, "%s", request.c_str());
        s.intake.clientInbufLen = static_cast<int>(request.size());
        s.intake.dataNeedsProcessing = true;
        return extractCookies(text.c_str(), text.size());
    }
    // The cached-session query the last extraction sent, if any.
    bool queryWasSent(LanDeviceAuthData* query) {
        pipe_message::Reader reader;
        bool found = false;
        fcntl(toParent[0], F_SETFL, O_NONBLOCK);
        reader.readAndDispatch(toParent[0], [&](uint8_t type, const uint8_t* p, uint16_t n) {
            if (type == pipe_message::kCachedSessionQuery && n == sizeof *query) {
                std::memcpy(query, p, n);
                found = true;
            }
            return true;
        });
        return found;
    }
    int toParent[2];
};

}  // namespace

TEST(ExtractFieldValue, ValuesEndAtCommaSemicolonOrLineEnd) {
    EXPECT_EQ(field("JSESSIONID=abc,GC_ID=7", "JSESSIONID"), "abc");
    EXPECT_EQ(field("JSESSIONID=abc,GC_ID=7", "GC_ID"), "7");
    EXPECT_EQ(field("a=1; JSESSIONID=xyz; b=2", "JSESSIONID"), "xyz");
    EXPECT_EQ(field("JSESSIONID=abc\r\nHost: x", "JSESSIONID"), "abc");
    // An ampersand does not end a value: the session runs on.
    EXPECT_EQ(field("JSESSIONID=abc&GC_ID=7", "JSESSIONID"), "abc&GC_ID=7");
    EXPECT_EQ(field("JSESSIONID=abc&GC_ID=7", "GC_ID"), "7");
    EXPECT_EQ(field("JSESSIONID=", "JSESSIONID"), "");
    // The last option of a query string ends where the request line's URI ends.
    EXPECT_EQ(field("GET /?GC_ID=7,LD_ID=12 HTTP/1.1\r\n", "LD_ID"), "12");
}

TEST(ExtractFieldValue, OnlyTheFirstOccurrenceFollowedByEqualsCounts) {
    EXPECT_EQ(field("GC_IDX=1,GC_ID=2", "GC_ID"), "<none>");  // first occurrence lacks "="
    EXPECT_EQ(field("MYGC_ID=5", "GC_ID"), "5");              // inside a longer word
    EXPECT_EQ(field("nothing here", "GC_ID"), "<none>");
    EXPECT_EQ(field("gc_id=5", "GC_ID"), "<none>");  // case-sensitive
}

TEST(ExtractFieldValue, ValuesAreCutToTheirLimit) {
    const std::string session(100, 's');
    EXPECT_EQ(field(("JSESSIONID=" + session).c_str(), "JSESSIONID", 64).size(), 63u);
    EXPECT_EQ(field("GC_ID=12345678901234567890", "GC_ID", 16), "123456789012345");
}

TEST(AssignMinPointer, AbsentPositionsLose) {
    const char text[] = "abc";
    EXPECT_EQ(assignMinPointer(nullptr, nullptr), nullptr);
    EXPECT_EQ(assignMinPointer(text + 1, nullptr), text + 1);
    EXPECT_EQ(assignMinPointer(nullptr, text + 2), text + 2);
    EXPECT_EQ(assignMinPointer(text + 2, text + 1), text + 1);
}

TEST_F(IntakeTest, ADeviceTargetAsksTheParentForACachedSession) {
    const std::string request = "GET /?JSESSIONID=abc,GC_ID=7,LD_ID=12 HTTP/1.1\r\nHost: x\r\n\r\n";
    EXPECT_TRUE(extract(request, "JSESSIONID=abc,GC_ID=7,LD_ID=12"));
    LanDeviceAuthData query;
    ASSERT_TRUE(queryWasSent(&query));
    EXPECT_EQ(query.gcId, 7u);
    EXPECT_EQ(query.ldId, 12u);
    EXPECT_STREQ(query.sessionId, "abc");
    EXPECT_EQ(query.target, static_cast<uint8_t>(TargetKind::Device));
    EXPECT_EQ(query.service, static_cast<uint8_t>(RelayService::None));
    EXPECT_FALSE(worker::state().intake.dataNeedsProcessing);  // bytes held for the connection

    // The same target again is forwarded at once, without a lookup.
    EXPECT_TRUE(extract(request, "JSESSIONID=abc,GC_ID=7,LD_ID=12"));
    EXPECT_FALSE(queryWasSent(&query));
    EXPECT_TRUE(worker::state().intake.dataNeedsProcessing);
}

TEST_F(IntakeTest, MissingSessionOrGatewayIsNoTarget) {
    EXPECT_FALSE(extract("GET / HTTP/1.1\r\n\r\n", "GC_ID=7"));
    EXPECT_FALSE(extract("GET / HTTP/1.1\r\n\r\n", "JSESSIONID=abc"));
    LanDeviceAuthData query;
    EXPECT_FALSE(queryWasSent(&query));
}

// Every target goes to the parent as a query: what the client named, and the service it chose
// (which the parent turns into a port and an address, or not).
TEST_F(IntakeTest, TheQueryCarriesTheTargetAndTheChosenService) {
    const struct {
        const char* options;
        bool clientTargets;
        TargetKind target;
        uint32_t ldId;
        RelayService service;
    } cases[] = {
        {"JSESSIONID=a,GC_ID=7,LD_ID=3,SERVICE=RNAS", true, TargetKind::Device, 3,
         RelayService::RelayServiceRemoteNas},
        {"JSESSIONID=b,GC_ID=7,LD_ID=3,DST_PORT=8088", true, TargetKind::Device, 3,
         RelayService::RelayServiceHttpTunnel},
        {"JSESSIONID=c,GC_ID=7,LD_ID=3,DST_PORT=8088,SERVICE=WEBDIS", true, TargetKind::Device, 3,
         RelayService::RelayServiceWebdis},
        // A request that names no service keeps the connection's choice.
        {"JSESSIONID=d,GC_ID=7,LD_ID=3", true, TargetKind::Device, 3,
         RelayService::RelayServiceWebdis},
        {"JSESSIONID=f,GC_ID=7", true, TargetKind::Gateway, 0, RelayService::RelayServiceWebdis},
        {"JSESSIONID=g,GC_ID=7,LD_ID=-1", true, TargetKind::DeviceNotAboveZero, 1,
         RelayService::RelayServiceWebdis},
        {"JSESSIONID=i,GC_ID=7,LD_ID=3,SERVICE=RNAS", false, TargetKind::Device, 3,
         RelayService::None},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        if (!c.clientTargets) {
            worker::resetState();
            worker::state().fdUDPOutput = toParent[1];
            worker::state().isProxy = true;
        }
        setClientTargets(c.clientTargets);
        extract(std::string("GET / HTTP/1.1\r\nCookie: ") + c.options + "\r\n\r\n", c.options);
        LanDeviceAuthData query;
        ASSERT_TRUE(queryWasSent(&query));
        EXPECT_EQ(query.target, static_cast<uint8_t>(c.target));
        EXPECT_EQ(query.ldId, c.ldId);
        EXPECT_EQ(query.service, static_cast<uint8_t>(c.service));
    }
    setClientTargets(true);
}

TEST_F(IntakeTest, OptionsFromTheWholeRequest) {
    worker::State& s = worker::state();
    extract(
        "GET / HTTP/1.1\r\nCookie: JSESSIONID=a,GC_ID=7,LD_ID=3,REPLACE_CONTENT_TYPE=1,"
        "HTTP_STATUS_SWITCH=0,CUSTOM_KEEPALIVE_TIMEOUT=90\r\n",
        "JSESSIONID=a,GC_ID=7,LD_ID=3,REPLACE_CONTENT_TYPE=1");
    EXPECT_TRUE(s.relay.replaceContentTypeFlag);
    EXPECT_TRUE(s.relay.httpStatusSwitchDisabled);
    EXPECT_EQ(s.keepaliveTimeout, 90u);
    // Empty values change nothing.
    extract(
        "GET / HTTP/1.1\r\nCookie: JSESSIONID=b,GC_ID=7,LD_ID=3,HTTP_STATUS_SWITCH=,"
        "CUSTOM_KEEPALIVE_TIMEOUT=\r\n",
        "JSESSIONID=b,GC_ID=7,LD_ID=3,REPLACE_CONTENT_TYPE=");
    EXPECT_TRUE(s.relay.replaceContentTypeFlag);
    EXPECT_TRUE(s.relay.httpStatusSwitchDisabled);
    EXPECT_EQ(s.keepaliveTimeout, 90u);
}

TEST_F(IntakeTest, AfterAGatewayTargetAnyDeviceOfTheSameSessionCountsAsUnchanged) {
    worker::State& s = worker::state();
    std::strcpy(s.lookup.sessionId, "abc");
    std::strcpy(s.lookup.gcId, "7");
    s.lookup.ldId[0] = '\0';
    extract("GET / HTTP/1.1\r\nCookie: JSESSIONID=abc,GC_ID=7,LD_ID=5\r\n",
            "JSESSIONID=abc,GC_ID=7,LD_ID=5");
    LanDeviceAuthData query;
    EXPECT_FALSE(queryWasSent(&query));
    EXPECT_TRUE(s.intake.dataNeedsProcessing);
    // Without LD_ID the stored device is cleared: the same session and gateway are unchanged.
    std::strcpy(s.lookup.ldId, "5");
    extract("GET / HTTP/1.1\r\nCookie: JSESSIONID=abc,GC_ID=7\r\n", "JSESSIONID=abc,GC_ID=7");
    EXPECT_STREQ(s.lookup.ldId, "");
    EXPECT_TRUE(s.intake.dataNeedsProcessing);
}

// The client's keepalive time-out stays within 1..3600 s; the first value clamped in a
// worker is logged, later ones are not.
TEST_F(IntakeTest, KeepaliveTimeoutIsHeldToItsRange) {
    struct Case {
        const char* value;
        uint32_t expected;
    };
    const Case cases[] = {
        {"-1", 1},      {"0", 1},
        {"no", 1},      {"1", 1},
        {"30", 30},     {"3600", 3600},
        {"3601", 3600}, {"4294967297", 3600},
        {"x1", 1},      {"99999999999999", 3600},
    };
    gateway_test::LogCapture log;
    int session = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        const std::string options = "JSESSIONID=s" + std::to_string(++session) +
                                    ",GC_ID=7,LD_ID=3,CUSTOM_KEEPALIVE_TIMEOUT=" + c.value;
        extract("GET / HTTP/1.1\r\nCookie: " + options + "\r\n", options);
        EXPECT_EQ(worker::state().keepaliveTimeout, c.expected);
    }
    EXPECT_EQ(log.countContaining(log4cplus::INFO_LOG_LEVEL, "CUSTOM_KEEPALIVE_TIMEOUT="), 1u);
    EXPECT_TRUE(log.has(log4cplus::INFO_LOG_LEVEL,
                        "CUSTOM_KEEPALIVE_TIMEOUT=-1 is outside 1..3600 s, using 1 s"));
}
