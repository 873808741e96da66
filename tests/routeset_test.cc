// routeset end to end: relay-host lines, every outcome with its exact
// messages and status, and option order as POSIX getopt gives it.
#include <unistd.h>

#include <string>
#include <vector>

#include "support.h"

namespace {

const char NO_MODE[] =
    "A valid mode was not selected. The mode must be one of -a (add), -e (edit) or -r (remove)\n";
const char NO_LIST[] = "Failed to get the list of line numbers.\n";
const std::string ORIGINAL = zt::TREE_MAILERTABLE;

std::string usage_lines(const std::string &name)
{
    return "\nAdd: " + name + " -a -d domain -h host\n" + "Remove: " + name +
           " -r -d domain -l line number\n" + "Edit: " + name +
           " -e -D domain_old -d domain_new -h nost_new -l line_number\n";
}

std::string usage(const std::string &diagnostic, const std::string &argv0 = "")
{
    const std::string shown = argv0.empty() ? zt::program("routeset") : argv0;
    const std::string name = argv0.empty() || argv0.size() > 9 ? "routeset" : argv0;
    return shown + ": " + diagnostic + "\nInvalid option [?]\n" + usage_lines(name);
}

const std::string MISSING = "Missing a required option.\n" + usage_lines("routeset");

class Routeset : public zt::TreeTest {
protected:
    const std::string table = zt::InstallTree::mail("mailertable");

    void expect(const std::vector<std::string> &args, int status, const std::string &err,
                const zt::RunOptions &opt = {})
    {
        const zt::Result r = zt::run_prog("routeset", args, opt);
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(r.out, "");
    }
    void expect_untouched()
    {
        EXPECT_EQ(zt::read_file(table), ORIGINAL);
        EXPECT_FALSE(zt::exists(table + ".tmp"));
    }
};

TEST_F(Routeset, AddAppendsDomainTabHost)
{
    expect({"-a", "-d", "abc", "-h", "h"}, 0, "");
    EXPECT_EQ(zt::read_file(table), ORIGINAL + "abc\th\n");
    // Neither text is checked: blanks and TABs go in as they are.
    expect({"-a", "-l", "12", "-d", "a b", "-h", "smtp:[x]\tz"}, 0, "");
    EXPECT_EQ(zt::read_file(table), ORIGINAL + "abc\th\na b\tsmtp:[x]\tz\n");
    EXPECT_EQ(zt::file_mode(table), 0644u);
    EXPECT_FALSE(zt::exists(table + ".tmp"));
}

TEST_F(Routeset, EditReplacesOnlyTheFirstLineContainingTheOldDomain)
{
    zt::write_file(table, "a.net\tx\nd.org\th1\nb.net\ty\nd.org\th2\n");
    expect({"-e", "-D", "d.org", "-d", "e.org", "-h", "h3", "-l", "2"}, 0, "");
    EXPECT_EQ(zt::read_file(table), "a.net\tx\ne.org\th3\nb.net\ty\nd.org\th2\n");
}

TEST_F(Routeset, EditMatchesALongerDomainStandingEarlier)
{
    zt::write_file(table, "mail.example.com\th1\nexample.com\th2\n");
    expect({"-e", "-D", "example.com", "-d", "example.com", "-h", "h3"}, 0, "");
    EXPECT_EQ(zt::read_file(table), "example.com\th3\nexample.com\th2\n");
}

TEST_F(Routeset, EditOfAnAbsentDomainAppends)
{
    expect({"-e", "-D", "nowhere.test", "-d", "new.test", "-h", "h"}, 0, "");
    EXPECT_EQ(zt::read_file(table), ORIGINAL + "new.test\th\n");
}

TEST_F(Routeset, RemoveDropsTheNumberedLines)
{
    zt::write_file(table, "a\t1\nb\t2\nc\t3\nd\t4\n");
    expect({"-r", "1", "3", "77"}, 0, "");
    EXPECT_EQ(zt::read_file(table), "b\t2\nd\t4\n");
}

TEST_F(Routeset, RequestsOnAnEmptyFileFailAndLeaveItEmpty)
{
    zt::write_file(table, "");
    expect({"-e", "-D", "a", "-d", "b", "-h", "c"}, 255,
           "Failed to modify the specified line.: No data available\n"
           "Failed to edit the relay host.\n");
    expect({"-r", "1"}, 255,
           "Failed to remove one or more of the specified lines.: No data available\n"
           "Failed to remove the relay host.\n");
    EXPECT_EQ(zt::read_file(table), "");
    EXPECT_FALSE(zt::exists(table + ".tmp"));
}

TEST_F(Routeset, ABusyFileFailsTheAdd)
{
    zt::write_file(table + ".tmp", "left\n", 0600);
    expect({"-a", "-d", "a", "-h", "b"}, 255,
           "Failed to open the file.: File exists\nFailed to add the relay host.\n");
    EXPECT_EQ(zt::read_file(table), ORIGINAL);
    EXPECT_EQ(zt::read_file(table + ".tmp"), "left\n");
}

TEST_F(Routeset, StartUpChecksComeFirst)
{
    unlink(zt::InstallTree::mail("sendmail.mc").c_str());
    expect({"-z"}, 1, "failed to find sendmail installed.\n");
}

TEST_F(Routeset, OnlyTheOwnerOfTheMainProgramMayUseIt)
{
    ZT_REQUIRE_ROOT("hands bin/zun to another user");
    ASSERT_EQ(chown(zt::InstallTree::path("bin/zun").c_str(), zt::nobody_uid(), zt::nobody_gid()),
              0);
    expect({"-a", "-d", "a", "-h", "b"}, 2, "Failed to change user id.\n");
    expect_untouched();
}

TEST_F(Routeset, NoModeIsRefused)
{
    expect({}, 255, NO_MODE);
    expect({"-d", "a", "-h", "b"}, 255, NO_MODE);
    expect_untouched();
}

TEST_F(Routeset, MissingNamesAreRefusedBeforeAnyFileIsTouched)
{
    zt::write_file(table + ".tmp", "left\n", 0600);
    expect({"-a", "-d", "a"}, 1, MISSING);
    expect({"-a", "-h", "b"}, 1, MISSING);
    expect({"-e", "-d", "a", "-h", "b"}, 1, MISSING);
    expect({"-e", "-D", "a", "-h", "b"}, 1, MISSING);
    expect({"-e", "-D", "a", "-d", "b"}, 1, MISSING);
    EXPECT_EQ(zt::read_file(table), ORIGINAL);
}

TEST_F(Routeset, NameArgumentsAreChecked)
{
    const std::string too_long = zt::repeat('n', 1000);
    const std::string domain_empty = "Domain name argument must include an actual domain name.\n";
    const std::string domain_long = "Domain name is too long. The max is: 1000.\n";
    expect({"-a", "-d", ""}, 255, domain_empty);
    expect({"-a", "-D", ""}, 255, domain_empty);
    expect({"-a", "-h", ""}, 255, "Host name argument must include an actual host name.\n");
    expect({"-a", "-d", too_long}, 1, domain_long);
    expect({"-a", "-D", too_long}, 1, domain_long);
    expect({"-a", "-h", too_long}, 1, "Host name is too long. The max is: 1000.\n");
    expect_untouched();
    const std::string d = zt::repeat('d', 999);
    const std::string old = zt::repeat('D', 999);
    const std::string h = zt::repeat('h', 999);
    expect({"-e", "-D", old, "-d", d, "-h", h}, 0, "");
    EXPECT_EQ(zt::read_file(table), ORIGINAL + d + "\t" + h + "\n");
}

TEST_F(Routeset, LineNumberOptionIsChecked)
{
    expect({"-a", "-l", ""}, 18, "Line number argument requires a number to be specified.\n");
    expect({"-a", "-l", "1234"}, 17, "Line number is too long.\n");
    expect({"-a", "-l", "-x"}, 6, "Line number must be a valid digit.\n");
    expect_untouched();
}

TEST_F(Routeset, RefusedOptionsPrintTheUsage)
{
    expect({"-H", "x"}, 1, usage("invalid option -- 'H'"));
    expect({"-a", "-d"}, 1, usage("option requires an argument -- 'd'"));
    zt::RunOptions opt;
    opt.argv0 = "rs";
    expect({"-D"}, 1, usage("option requires an argument -- 'D'", "rs"), opt);
    opt.argv0 = "routeset-x";
    expect({"-z"}, 1, usage("invalid option -- 'z'", "routeset-x"), opt);
    expect_untouched();
}

TEST_F(Routeset, OptionsAreTakenInCommandLineOrder)
{
    expect({"-l", "1234", "-z"}, 17, "Line number is too long.\n");
    expect({"-z", "-l", "1234"}, 1, usage("invalid option -- 'z'"));
    expect({"-r", "-d", "D", "-l", "3"}, 255,
           std::string("Line number must be a valid integer. -d is not a valid integer.\n") +
               NO_LIST);
    expect({"-a", "-r", "1"}, 255,
           std::string("Line number must be a valid integer. -r is not a valid integer.\n") +
               NO_LIST);
    expect_untouched();
    // A repeated name replaces the earlier one.
    expect({"-a", "-d", "first", "-d", "second", "-h", "h", "extra", "-z"}, 0, "");
    EXPECT_EQ(zt::read_file(table), ORIGINAL + "second\th\n");
}

}  // namespace
