// The install layout as the programs carry it.
#include <cstring>
#include <string>

#include "smlib.h"
#include "support.h"

TEST(Layout, EveryPathIsTheRootFollowedByItsPlace)
{
    const std::string root = ZUN_PATH;
    EXPECT_EQ(sizeof(ZUN_PATH), root.size() + 1);
    EXPECT_EQ(std::string(SENDMAIL_CONF), root + "sendmail/etc/mail/sendmail.mc");
    EXPECT_EQ(sizeof(SENDMAIL_CONF), root.size() + std::strlen("sendmail/etc/mail/sendmail.mc") + 1);
    EXPECT_EQ(std::string(SENDMAIL_PID), root + "sendmail/var/run/sendmail.pid");
    EXPECT_EQ(std::string(SENDMAIL_INIT), root + "sendmail/etc/init.d/sendmail");
    EXPECT_EQ(std::string(ZUN_BIN_PATH), root + "bin/zun");
    EXPECT_EQ(sizeof(MILTER_LINE_START), 20u);
}

TEST(Layout, DefaultRootIsThePlaceholderExactly)
{
    const char placeholder[] =
        "/tmp/.ZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZpErLZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZperl/";
    ASSERT_EQ(sizeof(placeholder), 76u);
    EXPECT_STREQ(ZUN_ROOT_DEFAULT, placeholder);
    if (std::strcmp(ZUN_PATH, ZUN_ROOT_DEFAULT) != 0)
        GTEST_SKIP() << "built with another ZUN_PATH: " << ZUN_PATH;
    EXPECT_EQ(sizeof(ZUN_PATH), 76u);
    // The programs themselves carry the paths under it, NUL-terminated.
    const std::string conf = std::string(placeholder) + "sendmail/etc/mail/sendmail.mc";
    for (const char *prog : {"hookset", "routeset", "permitset", "mtactl"}) {
        const std::string bin = zt::read_file(zt::program(prog));
        EXPECT_NE(bin.find(std::string(conf.c_str(), conf.size() + 1)), std::string::npos)
            << prog;
    }
}
