// The installed layout's paths: one separator, and never cut.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "install/install.h"

TEST(InstallPathsTest, DriveRootGetsNoDoubledSeparator)
{
    InstallPaths paths;
    ASSERT_EQ(BuildInstallPaths("C:\\", &paths), 1);
    EXPECT_STREQ(paths.installFolder, "C:\\Quorvane");
    EXPECT_STREQ(paths.targetExecutable, "C:\\Quorvane\\launcher.exe");
    ASSERT_EQ(BuildInstallPaths("C:\\users\\root\\Documents\\", &paths), 1);
    EXPECT_STREQ(paths.configPath, "C:\\users\\root\\Documents\\Quorvane\\launcher.cfg");
    ASSERT_EQ(BuildInstallPaths("D:\\Games", &paths), 1);
    EXPECT_STREQ(paths.installFolder, "D:\\Games\\Quorvane");
}

TEST(InstallPathsTest, PathsThatWouldNotFitAreRefused)
{
    InstallPaths paths;
    std::string fits(259 - strlen("\\Quorvane\\launcher.exe"), 'f');
    EXPECT_EQ(BuildInstallPaths(fits.c_str(), &paths), 1);
    EXPECT_EQ(strlen(paths.targetExecutable), 259u);
    EXPECT_EQ(BuildInstallPaths((fits + "x").c_str(), &paths), 0);
    EXPECT_EQ(BuildInstallPaths(std::string(300, 'l').c_str(), &paths), 0);
}
