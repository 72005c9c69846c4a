// Relay options: the field extraction, the services and overrides they choose, and when a
// request names a new target.
#include "videorecorder_intake.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "LanDeviceAuthData.h"
#include "PipeMessage.h"
#include "videorecorder_state.h"

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
        std::snprintf(s.clientInbuf, sizeof s.clientInbuf, "%s", request.c_str());
        s.clientInbufLen = static_cast<int>(request.size());
        s.dataNeedsProcessing = true;
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
    EXPECT_STREQ(query.ipOverride, "");
    EXPECT_FALSE(worker::state().dataNeedsProcessing);  // bytes held for the connection

    // The same target again is forwarded at once, without a lookup.
    EXPECT_TRUE(extract(request, "JSESSIONID=abc,GC_ID=7,LD_ID=12"));
    EXPECT_FALSE(queryWasSent(&query));
    EXPECT_TRUE(worker::state().dataNeedsProcessing);
}

TEST_F(IntakeTest, MissingSessionOrGatewayIsNoTarget) {
    EXPECT_FALSE(extract("GET / HTTP/1.1\r\n\r\n", "GC_ID=7"));
    EXPECT_FALSE(extract("GET / HTTP/1.1\r\n\r\n", "JSESSIONID=abc"));
    LanDeviceAuthData query;
    EXPECT_FALSE(queryWasSent(&query));
}

TEST_F(IntakeTest, ServicesImposeTheirPortAndAddress) {
    worker::State& s = worker::state();
    extract("GET / HTTP/1.1\r\nCookie: JSESSIONID=a,GC_ID=7,LD_ID=3,SERVICE=RNAS\r\n\r\n",
            "JSESSIONID=a,GC_ID=7,LD_ID=3,SERVICE=RNAS");
    EXPECT_EQ(s.service, RelayService::RelayServiceRemoteNas);
    EXPECT_STREQ(getIPAddress(), "127.0.0.1");
    EXPECT_EQ(getPortNumber(), 4080);
    LanDeviceAuthData query;
    ASSERT_TRUE(queryWasSent(&query));
    EXPECT_STREQ(query.ipOverride, "127.0.0.1");

    // DST_PORT 8088 alone: the HTTP tunnel on 4646; with SERVICE WEBDIS the name wins.
    extract("GET / HTTP/1.1\r\nCookie: JSESSIONID=b,GC_ID=7,LD_ID=3,DST_PORT=8088\r\n\r\n",
            "JSESSIONID=b,GC_ID=7,LD_ID=3");
    EXPECT_EQ(s.service, RelayService::RelayServiceHttpTunnel);
    EXPECT_EQ(getPortNumber(), 4646);
    extract(
        "GET / HTTP/1.1\r\nCookie: JSESSIONID=c,GC_ID=7,LD_ID=3,DST_PORT=8088,SERVICE=WEBDIS\r\n",
        "JSESSIONID=c,GC_ID=7,LD_ID=3");
    EXPECT_EQ(s.service, RelayService::RelayServiceWebdis);
    EXPECT_EQ(getPortNumber(), 7379);
    // A request that names no service keeps the overrides in force.
    extract("GET / HTTP/1.1\r\nCookie: JSESSIONID=d,GC_ID=7,LD_ID=3\r\n",
            "JSESSIONID=d,GC_ID=7,LD_ID=3");
    EXPECT_EQ(s.service, RelayService::RelayServiceWebdis);
}

TEST_F(IntakeTest, VerifyKeepsTheLookedUpAddress) {
    worker::State& s = worker::state();
    std::strcpy(s.cameraIPAddress, "198.18.0.10");
    extract("GET / HTTP/1.1\r\nCookie: JSESSIONID=a,GC_ID=7,LD_ID=3,SERVICE=VERIFY\r\n",
            "JSESSIONID=a,GC_ID=7,LD_ID=3,SERVICE=VERIFY");
    EXPECT_EQ(s.service, RelayService::RelayServiceVerify);
    EXPECT_STREQ(getIPAddress(), "198.18.0.10");
    EXPECT_EQ(getPortNumber(), 4848);
}

TEST_F(IntakeTest, OptionsFromTheWholeRequest) {
    worker::State& s = worker::state();
    extract(
        "GET / HTTP/1.1\r\nCookie: JSESSIONID=a,GC_ID=7,LD_ID=3,REPLACE_CONTENT_TYPE=1,"
        "HTTP_STATUS_SWITCH=0,CUSTOM_KEEPALIVE_TIMEOUT=90\r\n",
        "JSESSIONID=a,GC_ID=7,LD_ID=3,REPLACE_CONTENT_TYPE=1");
    EXPECT_TRUE(s.replaceContentTypeFlag);
    EXPECT_TRUE(s.httpStatusSwitchDisabled);
    EXPECT_EQ(s.keepaliveTimeout, 90u);
    // Empty values change nothing.
    extract(
        "GET / HTTP/1.1\r\nCookie: JSESSIONID=b,GC_ID=7,LD_ID=3,HTTP_STATUS_SWITCH=,"
        "CUSTOM_KEEPALIVE_TIMEOUT=\r\n",
        "JSESSIONID=b,GC_ID=7,LD_ID=3,REPLACE_CONTENT_TYPE=");
    EXPECT_TRUE(s.replaceContentTypeFlag);
    EXPECT_TRUE(s.httpStatusSwitchDisabled);
    EXPECT_EQ(s.keepaliveTimeout, 90u);
}

TEST_F(IntakeTest, AfterAGatewayTargetAnyDeviceOfTheSameSessionCountsAsUnchanged) {
    worker::State& s = worker::state();
    std::strcpy(s.sessionId, "abc");
    std::strcpy(s.gcId, "7");
    s.ldId[0] = '\0';
    extract("GET / HTTP/1.1\r\nCookie: JSESSIONID=abc,GC_ID=7,LD_ID=5\r\n",
            "JSESSIONID=abc,GC_ID=7,LD_ID=5");
    LanDeviceAuthData query;
    EXPECT_FALSE(queryWasSent(&query));
    EXPECT_TRUE(s.dataNeedsProcessing);
    // Without LD_ID the stored device is cleared: the same session and gateway are unchanged.
    std::strcpy(s.ldId, "5");
    extract("GET / HTTP/1.1\r\nCookie: JSESSIONID=abc,GC_ID=7\r\n", "JSESSIONID=abc,GC_ID=7");
    EXPECT_STREQ(s.ldId, "");
    EXPECT_TRUE(s.dataNeedsProcessing);
}
