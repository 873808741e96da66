// The access and mailertable sources the programs leave behind are accepted
// by the real map builder.
#include <sys/stat.h>

#include <sstream>
#include <string>
#include <vector>

#include "support.h"

namespace {

const char MAKEMAP[] = "/usr/sbin/makemap";

// makemap's stderr without its warnings about world-writable directories
// above the map (such as /tmp), which say nothing about the source.
std::string complaints(const std::string &err)
{
    const std::string warning = "WARNING: World writable directory ";
    std::istringstream in(err);
    std::string rest, line;
    while (std::getline(in, line)) {
        if (line.compare(0, warning.size(), warning) != 0)
            rest += line + "\n";
    }
    return rest;
}

class TablesConsumer : public zt::TreeTest {
protected:
    void SetUp() override
    {
        if (!zt::exists(MAKEMAP))
            GTEST_SKIP() << MAKEMAP << " is not installed";
    }
    void run_ok(const char *prog, const std::vector<std::string> &args)
    {
        const zt::Result r = zt::run_prog(prog, args);
        ASSERT_EQ(r.status, 0) << prog << ": " << r.err;
    }
    // makemap wants a map directory nobody else may write.
    void expect_accepted(const std::string &source)
    {
        zt::TempDir dir;
        ASSERT_EQ(chmod(dir.path().c_str(), 0700), 0);
        zt::RunOptions opt;
        opt.input = zt::read_file(source);
        const zt::Result r = zt::run(MAKEMAP, {"hash", dir / "map"}, opt);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(complaints(r.err), "");
        EXPECT_TRUE(zt::exists(dir / "map.db"));
    }
};

TEST_F(TablesConsumer, AccessFileBuildsAHashMap)
{
    run_ok("permitset", {"-a", "-h", "Connect:10.0.0.1\tRELAY\n"});
    run_ok("permitset", {"-a", "-h", "To:example.net\tOK\n"});
    run_ok("permitset", {"-e", "-H", "spammer", "-h", "From:other@example.org\tDISCARD\n"});
    run_ok("permitset", {"-r", "1"});
    run_ok("permitset", {"-a", "-h", "Connect:127.0.0.1\tRELAY\n"});
    const std::string access = zt::InstallTree::mail("access");
    EXPECT_EQ(zt::read_file(access),
              "From:other@example.org\tDISCARD\n"
              "Connect:10.0.0.1\tRELAY\n"
              "To:example.net\tOK\n"
              "Connect:127.0.0.1\tRELAY\n");
    expect_accepted(access);
}

TEST_F(TablesConsumer, MailertableBuildsAHashMap)
{
    run_ok("routeset", {"-a", "-d", "example.net", "-h", "smtp:[relay.example.net]"});
    run_ok("routeset", {"-a", "-d", ".example.net", "-h", "esmtp:[mx.example.net]"});
    run_ok("routeset", {"-e", "-D", "example.org", "-d", "example.edu", "-h", "relay:mx.edu"});
    run_ok("routeset", {"-r", "1"});
    const std::string table = zt::InstallTree::mail("mailertable");
    EXPECT_EQ(zt::read_file(table),
              "example.edu\trelay:mx.edu\n"
              "example.net\tsmtp:[relay.example.net]\n"
              ".example.net\tesmtp:[mx.example.net]\n");
    expect_accepted(table);
}

}  // namespace
