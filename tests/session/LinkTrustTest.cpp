// Whether a link names the configured server, and the host the consent dialog names when not.
#include <gtest/gtest.h>

#include "LinkTrust.h"

TEST(LinkTrust, SameServerMeansSameSchemeHostAndPort) {
    const char* const configured = "https://vdi.example.org/assistant";
    const struct {
        const char* configured;
        const char* link;
        const char* foreignHost;  // empty: the same server
    } rows[] = {
        {configured, "https://vdi.example.org/assistant", ""},
        {configured, "https://VDI.Example.ORG/other/path", ""},
        {configured, "https://vdi.example.org:443/assistant", ""},
        {configured, "http://vdi.example.org/assistant", "vdi.example.org"},
        {configured, "https://vdi.example.org:8443/assistant", "vdi.example.org:8443"},
        {configured, "https://vdi.example.org.evil.test/a", "vdi.example.org.evil.test"},
        {configured, "https://evil.test/vdi.example.org", "evil.test"},
        {configured, "https://vdi.example.org@evil.test/assistant", "evil.test"},
        {configured, "https://аdmin.example.org/a", "xn--dmin-43d.example.org"},  // Cyrillic "а"
        {configured, "vdi.example.org/assistant", "vdi.example.org/assistant"},
        {"", "https://vdi.example.org/assistant", "vdi.example.org"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(foreignServerHost(QString::fromUtf8(r.configured), QString::fromUtf8(r.link)),
                  r.foreignHost)
            << r.configured << " vs " << r.link;
    }
    EXPECT_FALSE(isSameServer(QString::fromUtf8(configured), QString()));
}
