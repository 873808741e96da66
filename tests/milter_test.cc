// The milter declaration writer: the line, its limits, its match key and the
// characters it refuses to hand to m4.
#include <cerrno>
#include <climits>
#include <string>

#include "smlib.h"
#include "support.h"

namespace {

struct Decl {
    std::string name = "f1";
    std::string socket = "unix:/tmp/f1";
    unsigned char enabled = MILTER_STATUS_ENABLED;
    unsigned char fail_type = FT_REJECT;
    unsigned int C = 1, R = 2, E = 3, S = 4;
    char mode = EM_ADDLINE;
};

struct Outcome {
    int result;
    std::string err;
};

Outcome write_decl(const Decl &d)
{
    testing::internal::CaptureStderr();
    errno = EINVAL;
    const int result = replace_milter(d.name.c_str(), d.socket.c_str(), d.enabled, d.fail_type,
                                      d.C, d.R, d.E, d.S, d.mode);
    return {result, testing::internal::GetCapturedStderr()};
}

// The enabled line of f1 with FT_ACCEPT and all timeouts 0, for socket.
std::string plain_line(const std::string &socket)
{
    return "INPUT_MAIL_FILTER(`f1',`S=" + socket + ",T=C:0m;E:0m;R:0m;S:0m')\n";
}

class MilterWriter : public zt::TreeTest {
protected:
    const std::string conf = SENDMAIL_CONF;
    const std::string mail_dir = zt::InstallTree::path("sendmail/etc/mail");

    // Asserts that d is refused with err and that no file was touched.
    void expect_refused(const Decl &d, const std::string &err)
    {
        const std::string before = zt::read_file(conf);
        const auto names = zt::list_dir(mail_dir);
        const Outcome o = write_decl(d);
        EXPECT_EQ(o.result, 0);
        EXPECT_EQ(o.err, err);
        EXPECT_EQ(zt::read_file(conf), before);
        EXPECT_EQ(zt::list_dir(mail_dir), names);
    }

    void expect_written(const Decl &d, const std::string &content)
    {
        const Outcome o = write_decl(d);
        EXPECT_EQ(o.result, 1);
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(zt::read_file(conf), content);
    }
};

TEST_F(MilterWriter, EnabledRejectLineIsAppendedExactly)
{
    expect_written(Decl(), std::string(zt::TREE_SENDMAIL_MC) +
                               "INPUT_MAIL_FILTER(`f1',`S=unix:/tmp/f1,F=R,T=C:1m;E:3m;R:2m;S:4m')\n");
}

TEST_F(MilterWriter, DisabledAcceptLineHasPrefixAndNoFlag)
{
    Decl d;
    d.enabled = MILTER_STATUS_DISABLED;
    d.fail_type = FT_ACCEPT;
    expect_written(d, std::string(zt::TREE_SENDMAIL_MC) +
                          "dnl INPUT_MAIL_FILTER(`f1',`S=unix:/tmp/f1,T=C:1m;E:3m;R:2m;S:4m')\n");
}

TEST_F(MilterWriter, FailTypeFailWritesTemporaryFailureFlag)
{
    Decl d;
    d.fail_type = FT_FAIL;
    expect_written(d, std::string(zt::TREE_SENDMAIL_MC) +
                          "INPUT_MAIL_FILTER(`f1',`S=unix:/tmp/f1,F=T,T=C:1m;E:3m;R:2m;S:4m')\n");
}

TEST_F(MilterWriter, TimeoutsAreWrittenAsSignedDecimals)
{
    Decl d;
    d.C = d.R = d.E = d.S = 0;
    d.fail_type = FT_ACCEPT;
    expect_written(d, std::string(zt::TREE_SENDMAIL_MC) + plain_line("unix:/tmp/f1"));

    zt::write_file(conf, "");
    d.C = static_cast<unsigned int>(-5);
    d.R = UINT_MAX;
    d.E = 0x80000000u;
    d.S = 123456789;
    expect_written(
        d, "INPUT_MAIL_FILTER(`f1',`S=unix:/tmp/f1,T=C:-5m;E:-2147483648m;R:-1m;S:123456789m')\n");
}

TEST_F(MilterWriter, OtherBytesAreWrittenVerbatim)
{
    Decl d;
    d.name = "f\xe9$1\"\\;";
    d.socket = "inet:10025@[127.0.0.1];x|y&z$*\x80\xff";
    expect_written(d, std::string(zt::TREE_SENDMAIL_MC) + "INPUT_MAIL_FILTER(`" + d.name +
                          "',`S=" + d.socket + ",F=R,T=C:1m;E:3m;R:2m;S:4m')\n");
}

TEST_F(MilterWriter, LineOf1098CharactersIsWrittenAnd1099Refused)
{
    const size_t overhead = plain_line("").size();
    Decl d;
    d.fail_type = FT_ACCEPT;
    d.C = d.R = d.E = d.S = 0;
    d.socket = zt::repeat('s', 1099 - overhead);
    ASSERT_EQ(plain_line(d.socket).size(), 1099u);
    expect_refused(d, "Milter line too long.\n");

    d.socket.pop_back();
    zt::write_file(conf, "");
    expect_written(d, plain_line(d.socket));
}

TEST_F(MilterWriter, DisabledPrefixCountsTowardsTheLimit)
{
    const size_t overhead = 4 + plain_line("").size();
    Decl d;
    d.enabled = MILTER_STATUS_DISABLED;
    d.fail_type = FT_ACCEPT;
    d.C = d.R = d.E = d.S = 0;
    d.socket = zt::repeat('s', 1099 - overhead);
    expect_refused(d, "Milter line too long.\n");

    d.socket.pop_back();
    zt::write_file(conf, "");
    expect_written(d, "dnl " + plain_line(d.socket));
    EXPECT_EQ(zt::read_file(conf).size(), 1098u);
}

TEST_F(MilterWriter, MatchKeyOf1099CharactersRefusesTheName)
{
    // The key is MILTER_LINE_START and the name: 19 + 1080 characters.
    Decl d;
    d.name = zt::repeat('n', 1080);
    expect_refused(d, "Milter name is too long.\n");
    // A key of 1098 passes; the line built from it cannot.
    d.name.pop_back();
    expect_refused(d, "Milter line too long.\n");
}

TEST_F(MilterWriter, UnknownFailTypeIsReportedThroughPerror)
{
    Decl d;
    d.fail_type = 3;
    expect_refused(d, "Fail type was an unexpected value!\n: Invalid argument\n");
}

TEST_F(MilterWriter, UnknownStateIsRefusedSilently)
{
    Decl d;
    d.enabled = 2;
    expect_refused(d, "");
}

TEST_F(MilterWriter, NullNameOrSocketIsRefusedSilently)
{
    const std::string before = zt::read_file(conf);
    testing::internal::CaptureStderr();
    EXPECT_EQ(replace_milter(nullptr, "unix:/tmp/f1", 1, 1, 1, 2, 3, 4, EM_ADDLINE), 0);
    EXPECT_EQ(replace_milter("f1", nullptr, 1, 1, 1, 2, 3, 4, EM_ADDLINE), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(zt::read_file(conf), before);
}

TEST_F(MilterWriter, EditSwitchesTheDisabledLineInPlace)
{
    const std::string head = "divert(0)dnl\n";
    const std::string tail = "MAILER(`smtp')dnl\n";
    zt::write_file(conf, head +
                             "dnl INPUT_MAIL_FILTER(`f1',`S=unix:/tmp/old,T=C:9m;E:9m;R:9m;S:9m')\n" +
                             tail);
    Decl d;
    d.mode = EM_EDITLINE;
    expect_written(d, head + "INPUT_MAIL_FILTER(`f1',`S=unix:/tmp/f1,F=R,T=C:1m;E:3m;R:2m;S:4m')\n" +
                          tail);
}

TEST_F(MilterWriter, EditReplacesTheFirstLineThatBeginsWithTheName)
{
    const std::string f10 = "INPUT_MAIL_FILTER(`f10',`S=unix:/tmp/f10,T=C:1m;E:1m;R:1m;S:1m')\n";
    const std::string f1 = "INPUT_MAIL_FILTER(`f1',`S=unix:/tmp/old,T=C:1m;E:1m;R:1m;S:1m')\n";
    zt::write_file(conf, f10 + f1);
    Decl d;
    d.mode = EM_EDITLINE;
    d.socket = "unix:/tmp/new";
    expect_written(d, "INPUT_MAIL_FILTER(`f1',`S=unix:/tmp/new,F=R,T=C:1m;E:3m;R:2m;S:4m')\n" + f1);
}

TEST_F(MilterWriter, EditOfAnUndeclaredNameAppends)
{
    Decl d;
    d.mode = EM_EDITLINE;
    expect_written(d, std::string(zt::TREE_SENDMAIL_MC) +
                          "INPUT_MAIL_FILTER(`f1',`S=unix:/tmp/f1,F=R,T=C:1m;E:3m;R:2m;S:4m')\n");
}

TEST_F(MilterWriter, AddKeepsAnEarlierDeclarationOfTheSameName)
{
    const std::string line = "INPUT_MAIL_FILTER(`f1',`S=unix:/tmp/f1,F=R,T=C:1m;E:3m;R:2m;S:4m')\n";
    zt::write_file(conf, line);
    expect_written(Decl(), line + line);
}

TEST_F(MilterWriter, LongDeclarationGivesWayWhole)
{
    const std::string head = "divert(0)dnl\n";
    const std::string tail = "MAILER(`smtp')dnl\n";
    const std::string long_decl =
        "INPUT_MAIL_FILTER(`f1',`S=unix:/" + zt::repeat('p', 950) + ",T=C:1m;E:1m;R:1m;S:1m')\n";
    ASSERT_GT(long_decl.size(), 998u);
    zt::write_file(conf, head + long_decl + tail);
    Decl d;
    d.mode = EM_EDITLINE;
    expect_written(d, head + "INPUT_MAIL_FILTER(`f1',`S=unix:/tmp/f1,F=R,T=C:1m;E:3m;R:2m;S:4m')\n" +
                          tail);
}

TEST_F(MilterWriter, EditorFailureIsPassedBack)
{
    zt::write_file(conf + ".tmp", "");
    const std::string before = zt::read_file(conf);
    const Outcome o = write_decl(Decl());
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.err, "Failed to open the file.: File exists\n");
    EXPECT_EQ(zt::read_file(conf), before);
}

// sendmail.mc becomes sendmail.cf through m4: these bytes would let a name or
// a socket leave its quoted argument, call a macro or end the line.
std::string refused_bytes()
{
    std::string bytes;
    for (int c = 0x01; c < 0x20; c++)
        bytes += static_cast<char>(c);
    return bytes + "\x7f `'(),#";
}

TEST_F(MilterWriter, NameWithARefusedCharacterNeverReachesTheFile)
{
    for (char c : refused_bytes()) {
        SCOPED_TRACE(static_cast<int>(static_cast<unsigned char>(c)));
        Decl d;
        d.name = std::string("f") + c + "1";
        expect_refused(d, "Milter name contains a character that is not allowed.\n");
    }
}

TEST_F(MilterWriter, SocketWithARefusedCharacterNeverReachesTheFile)
{
    for (char c : refused_bytes()) {
        SCOPED_TRACE(static_cast<int>(static_cast<unsigned char>(c)));
        Decl d;
        d.socket = std::string("unix:/tmp/") + c;
        expect_refused(d, "Socket name contains a character that is not allowed.\n");
    }
    Decl d;
    d.socket = "unix:/tmp/x,esyscmd(touch /tmp/x)";
    expect_refused(d, "Socket name contains a character that is not allowed.\n");
}

TEST_F(MilterWriter, RefusedCharactersAreTestedFirstNameBeforeSocket)
{
    Decl d;
    d.name = zt::repeat('n', 1100) + "'";
    d.socket = "unix:/tmp/'";
    d.fail_type = 3;
    d.enabled = 2;
    expect_refused(d, "Milter name contains a character that is not allowed.\n");
    d.name = "f1";
    expect_refused(d, "Socket name contains a character that is not allowed.\n");
}

}  // namespace
