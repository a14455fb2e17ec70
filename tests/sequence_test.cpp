#include <gtest/gtest.h>

#include "app/LauncherApp.h"
#include "platform/fake/FakePlatform.h"

TEST(Smoke, Builds) {
    FakePlatform fake;
    LauncherApp app(fake);
    EXPECT_EQ(app.InstallDir(), "D:\\");
}
