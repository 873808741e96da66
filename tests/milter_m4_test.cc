// What hookset writes into sendmail.mc, built into a sendmail.cf by m4 with
// sendmail's own configuration macros, the way the mail server gets it.
#include <string>
#include <vector>

#include "support.h"

namespace {

using Args = std::vector<std::string>;

const char M4[] = "/usr/bin/m4";
const char CF_DIR[] = "/usr/share/sendmail/cf/";
const char CF_M4[] = "/usr/share/sendmail/cf/m4/cf.m4";

const char LIVE_MC[] =
    "divert(-1)dnl\n"
    "# private sendmail of the mail filter\n"
    "divert(0)dnl\n"
    "VERSIONID(`sandbox')dnl\n"
    "OSTYPE(`debian')dnl\n"
    "DOMAIN(`generic')dnl\n"
    "define(`confDOMAIN_NAME', `sandbox.example')dnl\n"
    "FEATURE(`access_db')dnl\n"
    "FEATURE(`mailertable')dnl\n"
    "MAILER(`local')dnl\n"
    "MAILER(`smtp')dnl\n";

Args decl(const std::string &name, const std::string &socket, const Args &extra = {})
{
    Args a{"-m", name, "-s", socket, "-t", "enabled", "-f", "1",
           "-C", "1",  "-R", "2",    "-E", "3",       "-S", "4"};
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
}

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

class MilterM4 : public zt::TreeTest {
protected:
    const std::string conf = zt::InstallTree::mail("sendmail.mc");

    void SetUp() override
    {
        if (!zt::exists(M4) || !zt::exists(CF_M4))
            GTEST_SKIP() << "needs " << M4 << " and " << CF_M4 << " (m4, sendmail-cf)";
        zt::write_file(conf, LIVE_MC);
    }

    void hookset(const Args &args)
    {
        const zt::Result r = zt::run_prog("hookset", args);
        ASSERT_EQ(r.status, 0) << r.err;
    }

    static std::string build_cf(const std::string &mc)
    {
        const zt::Result r = zt::run(M4, {std::string("-D_CF_DIR_=") + CF_DIR, CF_M4, mc});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        return r.out;
    }
};

TEST_F(MilterM4, EnabledDeclarationBecomesAFilterLine)
{
    hookset(decl("f1", "unix:/var/run/f1.sock"));
    const std::string cf = build_cf(conf);
    EXPECT_NE(cf.find("\nXf1, S=unix:/var/run/f1.sock,F=R,T=C:1m;E:3m;R:2m;S:4m\n"),
              std::string::npos);
    EXPECT_NE(cf.find("\nO InputMailFilters=f1\n"), std::string::npos);
    EXPECT_EQ(count(cf, "\nX"), 1u);
}

TEST_F(MilterM4, DisabledDeclarationIsLeftOutUntilEnabled)
{
    hookset(decl("f1", "unix:/var/run/f1.sock", {"-t", "disabled"}));
    std::string cf = build_cf(conf);
    EXPECT_EQ(count(cf, "\nX"), 0u);
    EXPECT_NE(cf.find("\n#O InputMailFilters\n"), std::string::npos);

    hookset(decl("f1", "unix:/var/run/f1.sock"));
    cf = build_cf(conf);
    EXPECT_NE(cf.find("\nXf1, S=unix:/var/run/f1.sock,F=R,T=C:1m;E:3m;R:2m;S:4m\n"),
              std::string::npos);
}

TEST_F(MilterM4, EveryFailTypeAndSignedTimeoutsReachTheFilterLines)
{
    hookset(decl("f1", "unix:/var/run/f1.sock", {"-f", "0"}));
    hookset(decl("f2", "inet:10025@localhost", {"-f", "2", "-C", "-5", "-R", "0", "-E", "0", "-S", "0"}));
    hookset(decl("f3", "local:/var/run/f3.sock"));
    const std::string cf = build_cf(conf);
    EXPECT_NE(cf.find("\nO InputMailFilters=f1, f2, f3\n"), std::string::npos);
    EXPECT_NE(cf.find("\nXf1, S=unix:/var/run/f1.sock,F=T,T=C:1m;E:3m;R:2m;S:4m\n"
                      "Xf2, S=inet:10025@localhost,T=C:-5m;E:0m;R:0m;S:0m\n"
                      "Xf3, S=local:/var/run/f3.sock,F=R,T=C:1m;E:3m;R:2m;S:4m\n"),
              std::string::npos);
}

TEST_F(MilterM4, ReplacedLongDeclarationLeavesNothingBehind)
{
    const std::string long_socket = "unix:/" + zt::repeat('p', 990);
    hookset(decl("f1", long_socket));
    hookset(decl("f1", "unix:/var/run/f1.sock"));
    EXPECT_EQ(zt::read_file(conf), std::string(LIVE_MC) +
                                       "INPUT_MAIL_FILTER(`f1',`S=unix:/var/run/f1.sock,F=R,T=C:1m;"
                                       "E:3m;R:2m;S:4m')\n");
    const std::string cf = build_cf(conf);
    EXPECT_EQ(count(cf, "\nX"), 1u);
    EXPECT_EQ(cf.find("ppp"), std::string::npos);
}

// The attacks the writer refuses. The first test shows they are real: once
// in sendmail.mc, the build runs the shell command.
std::vector<std::string> injections(const std::string &victim)
{
    return {"unix:/tmp/x,esyscmd(touch " + victim + ")",
            "unix:/tmp/x')esyscmd(`touch " + victim + "')dnl"};
}

TEST_F(MilterM4, InjectedSocketWouldRunDuringTheBuild)
{
    zt::TempDir dir;
    const std::string victim = dir / "ran";
    for (const std::string &socket : injections(victim)) {
        SCOPED_TRACE(socket);
        const std::string mc = dir / "sendmail.mc";
        zt::write_file(mc, std::string(LIVE_MC) + "INPUT_MAIL_FILTER(`f1',`S=" + socket +
                               ",F=R,T=C:1m;E:3m;R:2m;S:4m')\n");
        (void)zt::run(M4, {std::string("-D_CF_DIR_=") + CF_DIR, CF_M4, mc});
        EXPECT_TRUE(zt::exists(victim));
        zt::remove_tree(victim);
    }
}

TEST_F(MilterM4, InjectionNeverReachesAFile)
{
    zt::TempDir dir;
    const std::string victim = dir / "ran";
    for (const std::string &socket : injections(victim)) {
        SCOPED_TRACE(socket);
        const zt::Result r = zt::run_prog("hookset", decl("f1", socket));
        EXPECT_EQ(r.status, 13);
        EXPECT_EQ(r.err, "Socket name contains a character that is not allowed.\n"
                         "Failed to add the new milter.\n");
        EXPECT_EQ(zt::read_file(conf), LIVE_MC);
        build_cf(conf);
        EXPECT_FALSE(zt::exists(victim));
    }
    const zt::Result r =
        zt::run_prog("hookset", decl("f1')esyscmd(`date')dnl", "unix:/var/run/f1.sock"));
    EXPECT_EQ(r.status, 13);
    EXPECT_EQ(r.err, "Milter name contains a character that is not allowed.\n"
                     "Failed to add the new milter.\n");
    EXPECT_EQ(zt::read_file(conf), LIVE_MC);
}

}  // namespace
