// What hookset writes into sendmail.mc, built into a sendmail.cf by m4 with
// sendmail's own configuration macros, the way the mail server gets it.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "smlib.h"
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

bool word_char(char c) { return c == '_' || std::isalnum(static_cast<unsigned char>(c)); }

bool is_m4_word(const std::string &text)
{
    return !text.empty() && !std::isdigit(static_cast<unsigned char>(text[0])) &&
           std::all_of(text.begin(), text.end(), word_char);
}

// What m4 itself defines, as its dumpdef lists it ("name:\t<name>").
std::set<std::string> m4_builtins()
{
    zt::RunOptions opt;
    opt.input = "dumpdef\n";
    std::set<std::string> names;
    for (const std::string &line : zt::lines(zt::run(M4, {}, opt).err))
        names.insert(line.substr(0, line.find(':')));
    return names;
}

// Every name that a define(`NAME' or pushdef(`NAME' of sendmail's cf files
// makes a macro m4 could call.
std::set<std::string> cf_macros()
{
    std::set<std::string> names;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(CF_DIR)) {
        if (!entry.is_regular_file())
            continue;
        const std::string text = zt::read_file(entry.path());
        for (const std::string call : {"define(`", "pushdef(`"}) {
            for (size_t at = text.find(call); at != std::string::npos;
                 at = text.find(call, at + 1)) {
                const size_t start = at + call.size();
                const std::string name = text.substr(start, text.find('\'', start) - start);
                if ((at == 0 || !word_char(text[at - 1])) && is_m4_word(name))
                    names.insert(name);
            }
        }
    }
    return names;
}

// Names and sockets that must pass: those in real use, words m4 leaves
// alone, and generated ones of the same make.
std::vector<std::pair<std::string, std::string>> accepted_corpus()
{
    std::vector<std::pair<std::string, std::string>> corpus = {
        {"clamav-milter", "unix:/var/run/spamass_milter.sock"},
        {"spamass_milter", "inet:8891@localhost"},
        {"opendkim", "local:/run/opendkim/opendkim.sock"},
        {"MIMEDefang", "unix:/var/spool/MIMEDefang/mimedefang.sock"},
        {"f1", "inet6:2525@[::1]"},
        {"f2", "inet6:2525@::1"},
        {"x9dnl", "unix:/run/9milter_conf/dnlx.sock"},
        {"Dnl.mconf", "local:/run/unix/inet/local"},
    };
    const char *words[] = {"unix",   "inet",   "local",    "milter", "Milter", "spamd",
                           "clamav", "Defang", "openDKIM", "x9",     "f"};
    const char *seps[] = {"-", ".", "_", "", "@", ":", "/"};
    const char *hosts[] = {"localhost", "127.0.0.1", "mail.example.org", "[127.0.0.1]", "Milter1"};
    for (size_t i = 0; corpus.size() < 320; i++) {
        const std::string w1 = words[i % 11], w2 = words[i / 11 % 11], sep = seps[i % 7];
        const std::string name = (i % 3 == 0 ? std::to_string(i % 10) : "") + w1 + seps[i % 4] +
                                 w2 + std::to_string(i);
        const std::string sockets[] = {"unix:/var/run/" + w2 + "/" + name + ".sock",
                                       "local:/run/" + w1 + sep + w2 + "." + std::to_string(i),
                                       "inet:" + std::to_string(1024 + i) + "@" + hosts[i % 5],
                                       "inet6:" + std::to_string(i) + "@" + w2 + ".example"};
        corpus.emplace_back(name, sockets[i % 4]);
    }
    return corpus;
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

    static std::pair<int, std::string> declare(const std::string &name, const std::string &socket)
    {
        return zt::with_stderr([&] {
            return replace_milter(name.c_str(), socket.c_str(), MILTER_STATUS_ENABLED, FT_REJECT,
                                  1, 2, 3, 4, EM_ADDLINE);
        });
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

// The cf macros expand the name and the socket with no arguments, so m4
// replaces $0 by the macro's name and $1 to $9, $#, $* and $@ by nothing:
// the build runs away, stops short or writes another socket.
TEST_F(MilterM4, DollarFormsNeverReachAFile)
{
    zt::write_file(conf, std::string(LIVE_MC) + "INPUT_MAIL_FILTER(`f1',`S=unix:/m$1.sock')\n");
    EXPECT_EQ(filter_lines(build_cf(conf)), "Xf1, S=unix:/m.sock\n") << "not an attack";
    zt::write_file(conf, LIVE_MC);
    const std::string refused = " contains a character that is not allowed.\n";
    for (const std::string form : {"$0", "$*", "$@", "$#", "$1", "$$"}) {
        for (const std::string &text : {form, "x." + form, "m" + form + "4exit"}) {
            EXPECT_EQ(declare(text, "unix:/f1"), std::make_pair(0, "Milter name" + refused));
            EXPECT_EQ(declare("f1", "unix:/x:" + text), std::make_pair(0, "Socket name" + refused));
        }
    }
    EXPECT_EQ(zt::read_file(conf), LIVE_MC);
}

// Every macro that m4 or sendmail's cf files define is refused as the name
// and as a word of the socket, before sendmail.mc is opened.
TEST_F(MilterM4, DefinedMacrosAreRefusedAsWords)
{
    std::set<std::string> macros = m4_builtins();
    ASSERT_GT(macros.size(), 40u);
    const std::set<std::string> cf = cf_macros();
    ASSERT_GT(cf.size(), 400u);
    macros.insert(cf.begin(), cf.end());
    const std::string refused = " contains a word that is not allowed.\n";
    for (const std::string &word : macros) {
        SCOPED_TRACE(word);
        EXPECT_EQ(declare(word, "unix:/run/f1.sock"), std::make_pair(0, "Milter name" + refused));
        EXPECT_EQ(declare("f1", "unix:/run/" + word + ".sock"),
                  std::make_pair(0, "Socket name" + refused));
    }
    EXPECT_EQ(zt::read_file(conf), LIVE_MC);
}

// What passes reaches sendmail.cf as it was written: m4, building with
// sendmail's macros, finds no macro call in any of it. The first
// declaration is written; each other one passes every check and gets as
// far as opening sendmail.mc, which a planted .tmp stops, so that hundreds
// of commits (and sendmail's limit on filters) are spared: the test writes
// those lines itself.
TEST_F(MilterM4, AcceptedNamesAndSocketsReachTheCfAsWritten)
{
    const auto corpus = accepted_corpus();
    std::string mc = LIVE_MC, want;
    auto add = [&mc, &want](const std::string &name, const std::string &socket) {
        const std::string equates = "S=" + socket + ",F=R,T=C:1m;E:3m;R:2m;S:4m";
        mc += "INPUT_MAIL_FILTER(`" + name + "',`" + equates + "')\n";
        want += "X" + name + ", " + equates + "\n";
    };
    ASSERT_EQ(declare(corpus[0].first, corpus[0].second), std::make_pair(1, std::string()));
    add(corpus[0].first, corpus[0].second);
    EXPECT_EQ(zt::read_file(conf), mc);
    zt::write_file(conf + ".tmp", "");
    for (const auto &[name, socket] : corpus) {
        ASSERT_LE(name.size(), 24u) << name;  // what hookset takes
        ASSERT_EQ(declare(name, socket),
                  std::make_pair(0, conf + ".tmp was left by an edit that did not finish; it is "
                                           "to be removed once no edit runs.\n"
                                           "Failed to open the file.: File exists\n"))
            << name << " " << socket;
        if (name != corpus[0].first)
            add(name, socket);
    }
    zt::write_file(conf, mc);
    EXPECT_EQ(filter_lines(build_cf(conf)), want);
}

}  // namespace
