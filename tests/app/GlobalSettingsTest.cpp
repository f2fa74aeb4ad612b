#include <gtest/gtest.h>

#include "GlobalSettings.h"

TEST(GlobalSettings, CopiedConnectionParamsAreIndependentOfTheRecord) {
    auto& settings = GlobalSettings::instance();
    settings.connectionParams.sessionId = "abc";
    ConnectionParams copy = settings.connectionParams;
    copy.sessionId = "changed";
    EXPECT_EQ(settings.connectionParams.sessionId, "abc");
    EXPECT_EQ(&settings, &GlobalSettings::instance());
}
