// hookset: options, their limits and order, and what reaches sendmail.mc.
#include <cstddef>
#include <string>
#include <vector>

#include "support.h"

namespace {

using Args = std::vector<std::string>;

const char USAGE[] =
    "Missing a required parameter. All parameters are required.\n"
    "Parameters: [-a] -m -s -t -f -C -R -E -S\n";
const char ADD_FAILED[] = "Failed to add the new milter.\n";
const char F1_LINE[] = "INPUT_MAIL_FILTER(`f1',`S=unix:/tmp/f1,F=R,T=C:1m;E:3m;R:2m;S:4m')\n";

// A complete command line for f1; later words override earlier ones.
Args full(const Args &extra = {})
{
    Args a{"-m", "f1", "-s", "unix:/tmp/f1", "-t", "enabled", "-f", "1",
           "-C", "1",  "-R", "2",            "-E", "3",       "-S", "4"};
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
}

class Hookset : public zt::TreeTest {
protected:
    const std::string conf = zt::InstallTree::mail("sendmail.mc");
    const std::string mc = zt::TREE_SENDMAIL_MC;

    zt::Result run(const Args &args)
    {
        zt::RunOptions opt;
        opt.argv0 = "hookset";
        return zt::run_prog("hookset", args, opt);
    }

    // Asserts the outcome and, for a refusal, an untouched sendmail.mc.
    void expect(const Args &args, int status, const std::string &err)
    {
        const std::string before = zt::read_file(conf);
        const zt::Result r = run(args);
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(r.out, "");
        if (status != 0) {
            EXPECT_EQ(zt::read_file(conf), before);
        }
    }

    // Asserts success and the line appended to the fresh tree's sendmail.mc.
    void expect_line(const Args &args, const std::string &line)
    {
        expect(args, 0, "");
        EXPECT_EQ(zt::read_file(conf), mc + line);
    }
};

TEST_F(Hookset, CompleteCallAppendsTheDeclaration)
{
    expect_line(full(), F1_LINE);
}

TEST_F(Hookset, WithoutSendmailAnyCommandLineEndsWith1)
{
    zt::remove_tree(conf);
    const zt::Result r = run({"-x", "-m", zt::repeat('n', 30)});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "failed to find sendmail installed.\n");
    EXPECT_FALSE(zt::exists(conf));
}

TEST_F(Hookset, CallerWhoDoesNotOwnTheProductIsRefused)
{
    ZT_REQUIRE_ROOT("runs hookset as another user");
    zt::RunOptions opt;
    opt.uid = static_cast<int>(zt::nobody_uid());
    opt.gid = static_cast<int>(zt::nobody_gid());
    const zt::Result r = zt::run_prog("hookset", full(), opt);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "Can't go suid.\n");
    EXPECT_EQ(zt::read_file(conf), mc);
}

TEST_F(Hookset, GetoptDiagnosticIsTheOnlyMessage)
{
    expect(full({"-x"}), 13, "hookset: invalid option -- 'x'\n");
    expect(full({"-m"}), 13, "hookset: option requires an argument -- 'm'\n");
}

TEST_F(Hookset, MissingParameterPrintsUsage)
{
    expect({}, 13, USAGE);
    const Args all = full();
    for (size_t i = 0; i < all.size(); i += 2) {
        SCOPED_TRACE(all[i]);
        Args without = all;
        without.erase(without.begin() + static_cast<std::ptrdiff_t>(i),
                      without.begin() + static_cast<std::ptrdiff_t>(i) + 2);
        expect(without, 13, USAGE);
    }
    // -a fills in nothing that is required.
    expect({"-a"}, 13, USAGE);
}

TEST_F(Hookset, EmptyArgumentCountsAsNotGiven)
{
    for (const char *opt : {"-m", "-s", "-f", "-C", "-R", "-E", "-S", "-t"}) {
        SCOPED_TRACE(opt);
        Args a = full();
        for (size_t i = 0; i < a.size(); i += 2) {
            if (a[i] == opt)
                a[i + 1] = "";
        }
        expect(a, 13, USAGE);
    }
    expect_line({"-m", "", "-m", "f1", "-s", "unix:/tmp/f1", "-t", "enabled", "-f", "1", "-C", "1",
                 "-R", "2", "-E", "3", "-S", "4"},
                F1_LINE);
}

TEST_F(Hookset, EmptyArgumentDoesNotUndoAnEarlierOne)
{
    expect_line(full({"-m", "", "-C", ""}), F1_LINE);
}

TEST_F(Hookset, OptionsAreJudgedInCommandLineOrder)
{
    const std::string name25 = zt::repeat('n', 25);
    expect({"-m", name25, "-x"}, 4, "Milter name is too long.\n");
    expect({"-x", "-m", name25}, 13, "hookset: invalid option -- 'x'\n");
    expect({"-f", "7", "-C", "abc"}, 8,
           "Fail type must be either 0 (fail) or 1 (reject) or 2 (accept).\n");
}

TEST_F(Hookset, LastAcceptedValueCounts)
{
    expect_line({"-m", "zz", "-s", "unix:/tmp/zz", "-t", "disabled", "-f", "0", "-C", "9", "-R",
                 "9", "-E", "9", "-S", "9", "-m", "f1", "-s", "unix:/tmp/f1", "-t", "enabled",
                 "-f", "1", "-C", "1", "-R", "2", "-E", "3", "-S", "4"},
                F1_LINE);
}

TEST_F(Hookset, ScanningStopsAtTheFirstNonOption)
{
    expect_line(full({"stray", "-x", "-m", zt::repeat('n', 30)}), F1_LINE);
    expect({"-m", "f1", "stray", "-s", "unix:/tmp/f1", "-t", "enabled", "-f", "1", "-C", "1", "-R",
            "2", "-E", "3", "-S", "4"},
           13, USAGE);
}

TEST_F(Hookset, NameOf24IsAcceptedAnd25Refused)
{
    const std::string name24 = zt::repeat('n', 24);
    expect(full({"-m", name24 + "x"}), 4, "Milter name is too long.\n");
    expect_line(full({"-m", name24}),
                "INPUT_MAIL_FILTER(`" + name24 + "',`S=unix:/tmp/f1,F=R,T=C:1m;E:3m;R:2m;S:4m')\n");
}

TEST_F(Hookset, SocketOf1033IsAcceptedAnd1034Refused)
{
    const std::string socket = zt::repeat('s', 1033);
    expect(full({"-s", socket + "x"}), 5, "Socket name is too long.\n");
    expect_line(full({"-s", socket}),
                "INPUT_MAIL_FILTER(`f1',`S=" + socket + ",F=R,T=C:1m;E:3m;R:2m;S:4m')\n");
}

TEST_F(Hookset, LineOverTheWriterLimitFailsTheCall)
{
    expect(full({"-s", zt::repeat('s', 1033), "-C", "999999999", "-R", "999999999", "-E",
                 "999999999", "-S", "999999999"}),
           13, std::string("Milter line too long.\n") + ADD_FAILED);
}

TEST_F(Hookset, FailTypeArgument)
{
    expect_line(full({"-f", "0"}),
                "INPUT_MAIL_FILTER(`f1',`S=unix:/tmp/f1,F=T,T=C:1m;E:3m;R:2m;S:4m')\n");
    zt::write_file(conf, mc);
    expect_line(full({"-f", "2"}), "INPUT_MAIL_FILTER(`f1',`S=unix:/tmp/f1,T=C:1m;E:3m;R:2m;S:4m')\n");
    const std::string range = "Fail type must be either 0 (fail) or 1 (reject) or 2 (accept).\n";
    expect(full({"-f", "3"}), 8, range);
    expect(full({"-f", "9"}), 8, range);
    expect(full({"-f", "x"}), 6, "Fail type must be a valid digit.\n");
    expect(full({"-f", "-"}), 6, "Fail type must be a valid digit.\n");
    expect(full({"-f", "10"}), 9, "Fail type argument too long.\n");
    expect(full({"-f", "-1"}), 9, "Fail type argument too long.\n");
}

TEST_F(Hookset, TimeoutTakesItsLeadingNumber)
{
    expect_line(full({"-C", "12abc", "-R", "-5", "-E", " +7", "-S", "123456789"}),
                "INPUT_MAIL_FILTER(`f1',`S=unix:/tmp/f1,F=R,T=C:12m;E:7m;R:-5m;S:123456789m')\n");
}

TEST_F(Hookset, TimeoutWithoutANumberOrTooLongIsRefused)
{
    for (const char *opt : {"-C", "-R", "-E", "-S"}) {
        SCOPED_TRACE(opt);
        expect(full({opt, "abc"}), 10, "Timeout is invalid.\nFailed to convert a timeout value.\n");
        expect(full({opt, "-"}), 10, "Timeout is invalid.\nFailed to convert a timeout value.\n");
        expect(full({opt, "1234567890"}), 11, "Time out value is too long.\n");
    }
}

TEST_F(Hookset, StatusArgument)
{
    expect_line(full({"-t", "enabledXY"}), F1_LINE);
    zt::write_file(conf, mc);
    expect_line(full({"-t", "disabledX"}), std::string("dnl ") + F1_LINE);
    expect(full({"-t", "enabledXYZ"}), 14, "Enabled value is too long.\n");
    expect(full({"-t", "Enabled"}), 15, "Invalid status Enabled. Only enabled or disabled are allowed.\n");
    expect(full({"-t", "disable"}), 15, "Invalid status disable. Only enabled or disabled are allowed.\n");
}

TEST_F(Hookset, StatusSwitchesTheDeclarationInPlace)
{
    expect_line(full(), F1_LINE);
    expect_line(full({"-t", "disabled"}), std::string("dnl ") + F1_LINE);
    expect_line(full(), F1_LINE);
}

TEST_F(Hookset, AddAppendsASecondDeclaration)
{
    expect_line(full({"-a"}), F1_LINE);
    expect_line(full({"-a"}), std::string(F1_LINE) + F1_LINE);
}

TEST_F(Hookset, LongDeclarationIsReplacedWhole)
{
    const std::string socket = zt::repeat('s', 1000);
    expect_line(full({"-s", socket}),
                "INPUT_MAIL_FILTER(`f1',`S=" + socket + ",F=R,T=C:1m;E:3m;R:2m;S:4m')\n");
    expect_line(full(), F1_LINE);
}

TEST_F(Hookset, RefusedCharacterFailsTheCall)
{
    expect(full({"-s", "unix:/tmp/x,esyscmd(touch /tmp/x)"}), 13,
           std::string("Socket name contains a character that is not allowed.\n") + ADD_FAILED);
    expect(full({"-m", "f1')dnl"}), 13,
           std::string("Milter name contains a character that is not allowed.\n") + ADD_FAILED);
}

TEST_F(Hookset, EditorFailureFailsTheCall)
{
    zt::write_file(conf + ".tmp", "");
    expect(full(), 13, std::string("Failed to open the file.: File exists\n") + ADD_FAILED);
}

}  // namespace
