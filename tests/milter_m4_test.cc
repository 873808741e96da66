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

// The filter declarations of a sendmail.cf: its lines that start with X.
std::string filter_lines(const std::string &cf)
{
    std::string lines;
    for (const std::string &line : zt::lines(cf)) {
        if (line.compare(0, 1, "X") == 0)
            lines += line + "\n";
    }
    return lines;
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

// Disabled, a declaration is left out of the build; enabled, every fail
// type and signed timeout reaches its filter line, also when sendmail.mc
// did not end in a newline.
TEST_F(MilterM4, EnabledDeclarationsBecomeFilterLines)
{
    const std::string live = LIVE_MC;
    zt::write_file(conf, live.substr(0, live.size() - 1));
    hookset(decl("f1", "unix:/var/run/f1.sock", {"-t", "disabled"}));
    std::string cf = build_cf(conf);
    EXPECT_EQ(filter_lines(cf), "");
    EXPECT_NE(cf.find("\n#O InputMailFilters\n"), std::string::npos);

    hookset(decl("f1", "unix:/var/run/f1.sock", {"-f", "0"}));
    hookset(decl("f2", "inet:10025@localhost",
                 {"-f", "2", "-C", "-5", "-R", "0", "-E", "0", "-S", "0", "-a"}));
    hookset(decl("f3", "local:/var/run/f3.sock"));
    cf = build_cf(conf);
    EXPECT_NE(cf.find("\nO InputMailFilters=f1, f2, f3\n"), std::string::npos);
    EXPECT_EQ(filter_lines(cf), "Xf1, S=unix:/var/run/f1.sock,F=T,T=C:1m;E:3m;R:2m;S:4m\n"
                                "Xf2, S=inet:10025@localhost,T=C:-5m;E:0m;R:0m;S:0m\n"
                                "Xf3, S=local:/var/run/f3.sock,F=R,T=C:1m;E:3m;R:2m;S:4m\n");
}

// Written into sendmail.mc, each of these socket texts runs a shell command
// during the build; hookset refuses them, and a name that tries the same,
// before they reach any file.
TEST_F(MilterM4, InjectionNeverReachesAFile)
{
    zt::TempDir dir;
    const std::string victim = dir / "ran", direct = dir / "sendmail.mc";
    const std::string refused = " contains a character that is not allowed.\n"
                                "Failed to add the new milter.\n";
    for (const std::string &socket : {"unix:/tmp/x,esyscmd(touch " + victim + ")",
                                      "unix:/tmp/x')esyscmd(`touch " + victim + "')dnl"}) {
        SCOPED_TRACE(socket);
        zt::write_file(direct, std::string(LIVE_MC) + "INPUT_MAIL_FILTER(`f1',`S=" + socket +
                                   ",F=R,T=C:1m;E:3m;R:2m;S:4m')\n");
        (void)zt::run(M4, {std::string("-D_CF_DIR_=") + CF_DIR, CF_M4, direct});
        EXPECT_TRUE(zt::exists(victim)) << "not an attack";
        zt::remove_tree(victim);

        const zt::Result r = zt::run_prog("hookset", decl("f1", socket));
        EXPECT_EQ(r.status, 13);
        EXPECT_EQ(r.err, "Socket name" + refused);
        EXPECT_EQ(zt::read_file(conf), LIVE_MC);
        build_cf(conf);
        EXPECT_FALSE(zt::exists(victim));
    }
    const zt::Result r =
        zt::run_prog("hookset", decl("f1')esyscmd(`date')dnl", "unix:/var/run/f1.sock"));
    EXPECT_EQ(r.status, 13);
    EXPECT_EQ(r.err, "Milter name" + refused);
    EXPECT_EQ(zt::read_file(conf), LIVE_MC);
}

}  // namespace
