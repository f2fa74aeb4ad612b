#include <gtest/gtest.h>

#include "LinkTrust.h"

TEST(LinkTrust, SameServerMeansSameSchemeHostAndPort) {
    struct Row {
        const char* configured;
        const char* link;
        bool same;
        const char* why;
    };
    const Row rows[] = {
        {"https://vdi.example.org/assistant", "https://vdi.example.org/assistant", true, "equal"},
        {"https://vdi.example.org/assistant", "https://VDI.Example.ORG/other/path", true,
         "host case and path do not matter"},
        {"https://vdi.example.org/assistant", "https://vdi.example.org:443/assistant", true,
         "default https port written out"},
        {"https://vdi.example.org/assistant", "http://vdi.example.org/assistant", false,
         "scheme differs"},
        {"https://vdi.example.org/assistant", "https://vdi.example.org:8443/assistant", false,
         "port differs"},
        {"https://vdi.example.org/assistant", "https://vdi.example.org.evil.test/assistant", false,
         "host with the configured one as prefix"},
        {"https://vdi.example.org/assistant", "https://evil.test/vdi.example.org", false,
         "configured host only in the path"},
        {"https://vdi.example.org/assistant", "https://vdi.example.org@evil.test/assistant", false,
         "configured host as user info"},
        {"https://vdi.example.org/assistant", "vdi.example.org/assistant", false, "no scheme"},
        {"https://vdi.example.org/assistant", "", false, "empty link server"},
        {"", "https://vdi.example.org/assistant", false, "nothing configured"},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(isSameServer(QString::fromUtf8(r.configured), QString::fromUtf8(r.link)), r.same)
            << r.why << ": " << r.configured << " vs " << r.link;
    }
}
