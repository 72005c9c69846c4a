// The redaction of secrets in logged request text. The session tag itself is seen in the
// relay's log (test_relay_cache.py: "abc" is "#ba7816bf").
#include "common/LogRedaction.h"

#include <gtest/gtest.h>

using tamblo::logging::isSecretHeader;
using tamblo::logging::redactSecrets;
using tamblo::logging::sessionTag;

TEST(RedactSecrets, NoSessionOrSecretHeaderValueSurvives) {
    const std::string tag = sessionTag("s3cr3t");
    const struct {
        const char* text;
        std::string expected;
    } cases[] = {
        {"JSESSIONID=s3cr3t,GC_ID=7", "JSESSIONID=" + tag + ",GC_ID=7"},
        {"GC_ID=7;JSESSIONID=s3cr3t", "GC_ID=7;JSESSIONID=" + tag},
        {"GET /?JSESSIONID=s3cr3t HTTP/1.1\r\nHost: x\r\n"
         "Authorization: Basic dXNlcjpwYXNz\r\ncookie: JSESSIONID=s3cr3t\r\n\r\n",
         "GET /?JSESSIONID=" + tag +
             " HTTP/1.1\r\nHost: x\r\nAuthorization: <hidden>\r\n"
             "cookie: <hidden>\r\n\r\n"},
        {"Proxy-Authorization: Bearer x\nSet-Cookie: a=b\nX-Other: kept",
         "Proxy-Authorization: <hidden>\nSet-Cookie: <hidden>\nX-Other: kept"},
        {"no secrets here", "no secrets here"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(redactSecrets(c.text), c.expected) << c.text;
    }
    EXPECT_TRUE(isSecretHeader("COOKIE"));
    EXPECT_TRUE(isSecretHeader("authorization "));
    EXPECT_FALSE(isSecretHeader("Cookies"));
}
