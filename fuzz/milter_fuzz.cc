// replace_milter: formatting, refusal and the edit of sendmail.mc. The
// input decides the name, the socket, the state, the fail type, the four
// timeouts, the edit mode and which of a few lines sendmail.mc holds
// beforehand; the file is laid afresh for every input under the build's own
// install root, and afterwards must hold exactly what the model says.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "smlib.h"

namespace {

constexpr size_t MAX_TEXT = 1098;
constexpr size_t MAX_NAME = 1400;
const std::string CONF = SENDMAIL_CONF;
const std::string CONF_TMP = CONF + ".tmp";

struct milter_case {
    bool null_name;
    bool null_socket;
    unsigned char enabled;
    unsigned char fail_type;
    char mode;
    unsigned int C, R, E, S;
    unsigned lines_before;  // which of the lines below sendmail.mc holds
    std::string name;
    std::string socket;
};

// Mostly one of the values a caller means; from 0xe0 on a small number
// (0xe0 is 0) or a large one (0xf0 and up as they are).
unsigned char meant(uint8_t b, std::initializer_list<unsigned char> values)
{
    if (b >= 0xf0)
        return b;
    if (b >= 0xe0)
        return static_cast<unsigned char>(b - 0xe0);
    return values.begin()[b % values.size()];
}

milter_case decode(const uint8_t *data, size_t size)
{
    zf::input_reader in(data, size);
    milter_case c;
    const uint8_t flags = in.byte();
    c.null_name = flags % 16 == 15;
    c.null_socket = flags % 16 == 14;
    c.enabled = meant(in.byte(), {MILTER_STATUS_DISABLED, MILTER_STATUS_ENABLED});
    c.fail_type = meant(in.byte(), {FT_FAIL, FT_REJECT, FT_ACCEPT});
    c.mode = static_cast<char>(meant(in.byte(), {EM_EDITLINE, EM_ADDLINE}));
    c.lines_before = in.byte();
    c.C = in.number();
    c.R = in.number();
    c.E = in.number();
    c.S = in.number();
    c.name = zf::up_to_nul(in.text(3, MAX_NAME));
    c.socket = zf::up_to_nul(in.text(3, MAX_NAME));
    return c;
}

// The match key: the name between its quotes.
std::string key_of(const std::string &name)
{
    return std::string(MILTER_LINE_START) + name + "'";
}

// The file before the call: a selection of lines, some holding the key of
// the name (in a disabled line, in upper case, past and across the
// editor's 499-byte read, behind the name of another macro), some only the
// name's start (a longer name, no closing quote), the last one without its
// newline.
std::string upper(std::string text)
{
    for (char &ch : text)
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return text;
}

std::string conf_before(const milter_case &c)
{
    const std::string key = key_of(c.name);
    const std::string start = std::string(MILTER_LINE_START) + c.name;
    const std::string lines[] = {
        "divert(-1)dnl\n",
        start + "0',`S=unix:/x,T=C:1m;E:1m;R:1m;S:1m')\n",
        "dnl " + upper(key) + ",`S=local:/y,F=T,T=C:0m;E:0m;R:0m;S:0m')\n",
        std::string(520, 'x') + " " + key + "\n",
        "FEATURE(`access_db')dnl X" + key + ")\n",
        std::string(497, 'y') + " " + key + ")\n",
        "dnl " + start + "\n",
        "MAILER(`smtp')",
    };
    std::string s;
    for (unsigned i = 0; i < 8; i++) {
        if (c.lines_before & (1u << i))
            s += lines[i];
    }
    return s;
}

// Letters, digits and the marks: nothing else comes through m4 as written.
bool refused(const std::string &text, const std::string &marks)
{
    for (unsigned char ch : text) {
        if (!std::isalnum(ch) && marks.find(static_cast<char>(ch)) == std::string::npos)
            return true;
    }
    return false;
}

bool ascii_letter(unsigned char ch) { return (ch | 0x20) >= 'a' && (ch | 0x20) <= 'z'; }

// A word m4 would take for a macro call once sendmail's cf macros expand the
// text unquoted.
bool refused_word(const std::string &word)
{
    bool lower = false;
    for (char ch : word)
        lower = lower || (ch >= 'a' && ch <= 'z');
    if (!lower || word[0] == '_' || word.rfind("conf", 0) == 0)
        return true;
    for (std::string_view defined : M4_DEFINED_WORDS) {
        if (defined == word)
            return true;
    }
    return false;
}

// m4's words: an ASCII letter or _, then letters, digits and _; every other
// byte, a digit outside a word included, is passed over.
bool holds_refused_word(const std::string &text)
{
    std::string word;
    for (size_t i = 0; i <= text.size(); i++) {
        const unsigned char ch = i < text.size() ? static_cast<unsigned char>(text[i]) : 0;
        const bool letter = ascii_letter(ch) || ch == '_';
        if (letter || (!word.empty() && ch >= '0' && ch <= '9')) {
            word += static_cast<char>(ch);
            continue;
        }
        if (!word.empty() && refused_word(word))
            return true;
        word.clear();
    }
    return false;
}

// What sendmail takes for a socket: a local one at an absolute path that
// fits sun_path, or port@host with the host an address of the family or a
// name of letter-digit-hyphen labels whose last one is not a number.
bool socket_shape_ok(const std::string &socket, std::string *why)
{
    static const std::regex local("(unix|local):(.*)"), inet("(inet6?):([^@]*)@(.*)");
    static const std::regex name("(([A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?)\\.)*"
                                 "[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?\\.?");
    static const std::regex numeric(".*(^|\\.)[0-9]+\\.?");
    std::smatch m;
    if (std::regex_match(socket, m, local)) {
        const std::string path = m[2];
        if (path.empty() || path[0] != '/')
            *why = "A unix or local socket must be an absolute path.\n";
        else if (path.size() > 107)
            *why = "A unix or local socket path must be at most 107 bytes.\n";
        return why->empty();
    }
    if (socket.rfind("inet:", 0) != 0 && socket.rfind("inet6:", 0) != 0) {
        *why = "Socket must begin with unix:, local:, inet: or inet6:.\n";
        return false;
    }
    if (!std::regex_match(socket, m, inet) || m[2].length() == 0 || m[3].length() == 0) {
        *why = "An inet or inet6 socket must be port@host.\n";
        return false;
    }
    const bool six = m[1] == "inet6";
    std::string port = m[2], host = m[3];
    port.erase(0, port.find_first_not_of('0') == std::string::npos ? port.size() - 1
                                                                     : port.find_first_not_of('0'));
    if (port.find_first_not_of("0123456789") != std::string::npos || port.size() > 5 ||
        std::stol(port) < 1 || std::stol(port) > 65535) {
        *why = "Socket port must be a number from 1 to 65535.\n";
        return false;
    }
    std::string literal = host;
    if (literal.size() >= 2 && literal.front() == '[' && literal.back() == ']')
        literal = literal.substr(1, literal.size() - 2);
    unsigned char addr[16];
    if (inet_pton(six ? AF_INET6 : AF_INET, literal.c_str(), addr) == 1 ||
        (std::regex_match(host, name) && !std::regex_match(host, numeric)))
        return true;
    *why = six ? "An inet6 socket's host must be an IPv6 address or a host name.\n"
               : "An inet socket's host must be an IPv4 address or a host name.\n";
    return false;
}

std::string declaration(const milter_case &c)
{
    const char *flag = c.fail_type == FT_FAIL ? "F=T," : c.fail_type == FT_REJECT ? "F=R," : "";
    auto minutes = [](unsigned int v) { return std::to_string(static_cast<int32_t>(v)) + "m"; };
    return std::string(c.enabled == MILTER_STATUS_DISABLED ? "dnl " : "") + "INPUT_MAIL_FILTER(`" +
           c.name + "',`S=" + c.socket + "," + flag + "T=C:" + minutes(c.C) + ";E:" +
           minutes(c.E) + ";R:" + minutes(c.R) + ";S:" + minutes(c.S) + "')\n";
}

struct outcome {
    int rc;
    std::string message;  // a trailing "*" stands for perror's error text
    std::string conf;
};

bool same_name(const std::string &a, const std::string &b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

struct decl_at {
    size_t at;
    std::string name;
};

// INPUT_MAIL_FILTER(`NAME' and MAIL_FILTER(`NAME', each not behind another
// word's letters, with the name closed on the line.
std::vector<decl_at> declarations_in(const std::string &line)
{
    static const std::regex decl("(^|[^A-Za-z0-9_])((INPUT_)?MAIL_FILTER\\(`([^']*)')");
    std::vector<decl_at> found;
    for (std::sregex_iterator it(line.begin(), line.end(), decl), end; it != end; ++it)
        found.push_back({static_cast<size_t>(it->position(2)), (*it)[4]});
    return found;
}

// Behind a dnl word or a #, m4 never reads it.
bool hidden(const std::string &before)
{
    static const std::regex hide("(.*#.*)|(.*(^|[^A-Za-z0-9_])dnl([^A-Za-z0-9_].*|$))");
    return std::regex_match(before, hide);
}

outcome edit(const milter_case &c, const std::string &before, const std::string &line)
{
    if (c.mode != EM_EDITLINE && c.mode != EM_ADDLINE)
        return {0, "Failed to commit the changes to the file.*", before};
    const std::vector<std::string> lines = zf::physical_lines(before);
    if (lines.empty() && c.mode == EM_EDITLINE)
        return {0, "Failed to modify the specified line.*", before};
    std::string after;
    bool replaced = false;
    int enabled = c.enabled == MILTER_STATUS_ENABLED ? 1 : 0;
    for (const std::string &l : lines) {
        bool mine = false;
        int here = 0;
        for (const decl_at &d : declarations_in(l)) {
            if (!replaced && same_name(d.name, c.name)) {
                if (c.mode == EM_ADDLINE)
                    return {0, "The milter " + c.name + " is already declared.\n", before};
                // Of the lines laid, only those that close after the key go on.
                if (l.find("')", d.at) == std::string::npos)
                    return {0, "The declaration of " + c.name + " does not end on its line.\n",
                            before};
                mine = true;
            }
            if (!hidden(l.substr(0, d.at)))
                here++;
        }
        if (mine) {
            after += line;
            replaced = true;
            continue;
        }
        enabled += here;
        if (enabled > 24)
            return {0, "Declaring " + c.name + " would leave more than 24 milters enabled.\n",
                    before};
        after += l;
    }
    if (!replaced)
        zf::append(after, line);
    return {1, "", after};
}

outcome model(const milter_case &c, const std::string &before)
{
    if (c.null_name || c.null_socket)
        return {0, "", before};
    if (refused(c.name, "_-."))
        return {0, "Milter name contains a character that is not allowed.\n", before};
    if (refused(c.socket, "_-./:@[]"))
        return {0, "Socket name contains a character that is not allowed.\n", before};
    if (holds_refused_word(c.name))
        return {0, "Milter name contains a word that is not allowed.\n", before};
    if (holds_refused_word(c.socket))
        return {0, "Socket name contains a word that is not allowed.\n", before};
    std::string why;
    if (!socket_shape_ok(c.socket, &why))
        return {0, why, before};
    if (key_of(c.name).size() > MAX_TEXT)
        return {0, "Milter name is too long.\n", before};
    if (c.fail_type > FT_ACCEPT)
        return {0, "Fail type was an unexpected value!\n*", before};
    if (c.enabled != MILTER_STATUS_ENABLED && c.enabled != MILTER_STATUS_DISABLED)
        return {0, "", before};
    const std::string line = declaration(c);
    if (line.size() > MAX_TEXT)
        return {0, "Milter line too long.\n", before};
    // What the writer promises of every line it lets through.
    for (size_t i = 0; i + 1 < line.size(); i++) {
        if (line[i] == '\n' || static_cast<unsigned char>(line[i]) < 0x20 || line[i] == 0x7f)
            zf::fail("model line holds a control byte: %s", zf::show(line).c_str());
    }
    return edit(c, before, line);
}

const milter_case *current = nullptr;

std::string describe()
{
    const milter_case &c = *current;
    return "name " + (c.null_name ? std::string("null") : zf::show(c.name)) + ", socket " +
           (c.null_socket ? std::string("null") : zf::show(c.socket)) + ", enabled " +
           std::to_string(c.enabled) + ", fail_type " + std::to_string(c.fail_type) +
           ", C R E S " + std::to_string(c.C) + " " + std::to_string(c.R) + " " +
           std::to_string(c.E) + " " + std::to_string(c.S) + ", mode " +
           std::to_string(static_cast<int>(c.mode)) + ", lines before " +
           std::to_string(c.lines_before);
}

// A message that ends in "*" was written by perror: the text, ": ", the
// error text and one newline.
void expect_message(const std::string &got, const std::string &want)
{
    if (want.empty() || want.back() != '*') {
        zf::expect_eq(got, want, "message on stderr");
        return;
    }
    const std::string head = want.substr(0, want.size() - 1) + ": ";
    if (got.compare(0, head.size(), head) != 0 || got.size() <= head.size() + 1 ||
        got.back() != '\n' || got.find('\n', head.size()) != got.size() - 1)
        zf::fail("perror message: got %s, want %s<error text>\\n", zf::show(got).c_str(),
                 zf::show(head).c_str());
}

void make_dirs(const std::string &path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string dir = path.substr(0, slash);
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
            std::perror(dir.c_str());
            std::exit(1);
        }
    }
}

const std::string LOCK = std::string(ZUN_PATH) + ".fuzz-lock";

// The tree goes with the run that laid it (a crash leaves it for the next).
void remove_tree()
{
    unlink(CONF_TMP.c_str());
    unlink(CONF.c_str());
    for (const char *dir : {"sendmail/etc/mail", "sendmail/etc", "sendmail"})
        rmdir((std::string(ZUN_PATH) + dir).c_str());
    unlink(LOCK.c_str());
    rmdir(ZUN_PATH);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    make_dirs(CONF);
    // One process at a time on this root: two would edit one sendmail.mc.
    const int fd = open(LOCK.c_str(), O_RDWR | O_CREAT, 0600);
    if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
        std::fprintf(stderr, "milter_fuzz: %s is in use by another run\n", ZUN_PATH);
        std::exit(1);
    }
    unlink(CONF_TMP.c_str());
    std::atexit(remove_tree);
    zf::describe_case() = describe;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const milter_case c = decode(data, size);
    current = &c;
    const std::string before = conf_before(c);
    zf::write_file(CONF, before, 0644);
    const outcome want = model(c, before);

    outcome got{};
    {
        zf::stderr_capture capture;
        got.rc = replace_milter(c.null_name ? nullptr : c.name.c_str(),
                                c.null_socket ? nullptr : c.socket.c_str(), c.enabled, c.fail_type,
                                c.C, c.R, c.E, c.S, c.mode);
        got.message = capture.take();
    }
    zf::expect_eq(got.rc, want.rc, "result of replace_milter");
    expect_message(got.message, want.message);
    zf::expect_eq(zf::read_file(CONF), want.conf, "sendmail.mc");
    zf::expect_mode(zf::file_mode(CONF), 0644, "mode of sendmail.mc");
    if (zf::exists(CONF_TMP))
        zf::fail("sendmail.mc.tmp left behind");
    return 0;
}
