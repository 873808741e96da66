// The milter declaration line of sendmail.mc.
#include "smlib.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

namespace {

// Longest declaration line and match key, in characters.
constexpr int MILTER_MAX_TEXT = 1098;

constexpr char MILTER_FORMAT_ENABLED[] =
    "INPUT_MAIL_FILTER(`%s',`S=%s,%sT=C:%dm;E:%dm;R:%dm;S:%dm')\n";
constexpr char MILTER_FORMAT_DISABLED[] =
    "dnl INPUT_MAIL_FILTER(`%s',`S=%s,%sT=C:%dm;E:%dm;R:%dm;S:%dm')\n";

constexpr char MSG_NAME_BAD_CHAR[] = "Milter name contains a character that is not allowed.\n";
constexpr char MSG_SOCKET_BAD_CHAR[] = "Socket name contains a character that is not allowed.\n";
constexpr char MSG_NAME_BAD_WORD[] = "Milter name contains a word that is not allowed.\n";
constexpr char MSG_SOCKET_BAD_WORD[] = "Socket name contains a word that is not allowed.\n";
constexpr char MSG_LINE_TOO_LONG[] = "Milter line too long.\n";
constexpr char MSG_BAD_FAIL_TYPE[] = "Fail type was an unexpected value!\n";
constexpr char MSG_SPLIT[] = "The declaration of %s does not end on its line.\n";
constexpr char MSG_DECLARED[] = "The milter %s is already declared.\n";
constexpr char MSG_TOO_MANY[] = "Declaring %s would leave more than 24 milters enabled.\n";
constexpr char MSG_SOCKET_TYPE[] = "Socket must begin with unix:, local:, inet: or inet6:.\n";
constexpr char MSG_SOCKET_RELATIVE[] = "A unix or local socket must be an absolute path.\n";
constexpr char MSG_SOCKET_PATH_LONG[] = "A unix or local socket path must be at most 107 bytes.\n";
constexpr char MSG_SOCKET_NO_AT[] = "An inet or inet6 socket must be port@host.\n";
constexpr char MSG_SOCKET_PORT[] = "Socket port must be a number from 1 to 65535.\n";
constexpr char MSG_SOCKET_HOST4[] = "An inet socket's host must be an IPv4 address or a host name.\n";
constexpr char MSG_SOCKET_HOST6[] = "An inet6 socket's host must be an IPv6 address or a host name.\n";

// sendmail takes at most this many filters, and refuses to start with more.
constexpr int MAX_MILTERS = 24;
// A local socket's path and its NUL fill sun_path.
constexpr size_t MAX_SOCKET_PATH = 107;

// sendmail.mc is turned into sendmail.cf by m4, normally as root, and the
// cf macros expand the name and the socket unquoted: only letters, digits
// and a few marks are sure to come through as they were written. A quote,
// a parenthesis or a comma would leave the quoted argument, a $ form is
// replaced when the macro expands, # hides the rest of the line and a
// blank or a control byte ends things.
constexpr char NAME_MARKS[] = "_-.";
constexpr char SOCKET_MARKS[] = "_-./:@[]";

// m4 knows only ASCII letters: any other byte, like a digit outside a word,
// stands between words.
bool is_lower(char c) { return c >= 'a' && c <= 'z'; }
bool starts_word(char c) { return is_lower(c) || (c >= 'A' && c <= 'Z') || c == '_'; }
bool in_word(char c) { return starts_word(c) || (c >= '0' && c <= '9'); }

bool allowed_chars(const char *text, const char *marks)
{
    for (const char *p = text; *p; p++) {
        if (!in_word(*p) && std::strchr(marks, *p) == nullptr)
            return false;
    }
    return true;
}

bool refused_word(std::string_view word)
{
    if (word[0] == '_' || word.substr(0, 4) == "conf" ||
        std::none_of(word.begin(), word.end(), is_lower))
        return true;
    return std::find(std::begin(M4_DEFINED_WORDS), std::end(M4_DEFINED_WORDS), word) !=
           std::end(M4_DEFINED_WORDS);
}

// True when no word of text, read the way m4 reads it, is refused.
bool allowed_m4_words(std::string_view text)
{
    while (!text.empty()) {
        if (!starts_word(text[0])) {
            text.remove_prefix(1);
            continue;
        }
        size_t end = 1;
        while (end < text.size() && in_word(text[end]))
            end++;
        if (refused_word(text.substr(0, end)))
            return false;
        text.remove_prefix(end);
    }
    return true;
}

// The socket shapes sendmail can use: a local socket at an absolute path
// that fits its address, or port@host where the port is a number and the
// host an address of the family or a name. sendmail refuses the others
// when it reads its configuration, or can never connect to them. A name is
// not looked up: the server resolves it when it reads its configuration.
bool has_prefix(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool port_ok(std::string_view port)
{
    if (port.empty())
        return false;
    long value = 0;
    for (const char c : port) {
        if (!is_digit(c))
            return false;
        value = value * 10 + (c - '0');
        if (value > 65535)
            return false;
    }
    return value > 0;
}

bool address_of(int family, std::string_view host)
{
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    unsigned char addr[sizeof(struct in6_addr)];
    return inet_pton(family, std::string(host).c_str(), addr) == 1;
}

bool host_char(char c) { return is_digit(c) || c == '-' || (in_word(c) && c != '_'); }

// Labels of letters, digits and -, which neither begins nor ends one,
// between single dots (one may end the name). A name whose last label
// holds only digits would be taken for an address.
bool host_name(std::string_view host)
{
    if (!host.empty() && host.back() == '.')
        host.remove_suffix(1);
    if (host.empty())
        return false;
    std::string_view label;
    for (size_t from = 0; from <= host.size();) {
        const size_t dot = std::min(host.find('.', from), host.size());
        label = host.substr(from, dot - from);
        if (label.empty() || label.front() == '-' || label.back() == '-' ||
            !std::all_of(label.begin(), label.end(), host_char))
            return false;
        from = dot + 1;
    }
    return !std::all_of(label.begin(), label.end(), is_digit);
}

const char *inet_refusal(std::string_view rest, int family)
{
    const size_t at = rest.find('@');
    if (at == std::string_view::npos || at == 0 || at + 1 == rest.size())
        return MSG_SOCKET_NO_AT;
    if (!port_ok(rest.substr(0, at)))
        return MSG_SOCKET_PORT;
    const std::string_view host = rest.substr(at + 1);
    if (address_of(family, host) || host_name(host))
        return nullptr;
    return family == AF_INET ? MSG_SOCKET_HOST4 : MSG_SOCKET_HOST6;
}

const char *socket_refusal(std::string_view socket)
{
    for (const std::string_view local : {"unix:", "local:"}) {
        if (!has_prefix(socket, local))
            continue;
        const std::string_view path = socket.substr(local.size());
        if (path.empty() || path.front() != '/')
            return MSG_SOCKET_RELATIVE;
        return path.size() > MAX_SOCKET_PATH ? MSG_SOCKET_PATH_LONG : nullptr;
    }
    if (has_prefix(socket, "inet:"))
        return inet_refusal(socket.substr(5), AF_INET);
    if (has_prefix(socket, "inet6:"))
        return inet_refusal(socket.substr(6), AF_INET6);
    return MSG_SOCKET_TYPE;
}

// The message that refuses the name or the socket, or null for neither.
const char *refusal(const char *milter, const char *socket)
{
    if (!allowed_chars(milter, NAME_MARKS))
        return MSG_NAME_BAD_CHAR;
    if (!allowed_chars(socket, SOCKET_MARKS))
        return MSG_SOCKET_BAD_CHAR;
    if (!allowed_m4_words(milter))
        return MSG_NAME_BAD_WORD;
    if (!allowed_m4_words(socket))
        return MSG_SOCKET_BAD_WORD;
    return socket_refusal(socket);
}

// Null for a fail type that has no flag.
const char *fail_flag(unsigned char fail_type)
{
    if (fail_type == FT_FAIL)
        return "F=T,";
    if (fail_type == FT_REJECT)
        return "F=R,";
    if (fail_type == FT_ACCEPT)
        return "";
    return nullptr;
}

// Null for a state that is neither enabled nor disabled.
const char *line_format(unsigned char enabled)
{
    if (enabled == MILTER_STATUS_ENABLED)
        return MILTER_FORMAT_ENABLED;
    if (enabled == MILTER_STATUS_DISABLED)
        return MILTER_FORMAT_DISABLED;
    return nullptr;
}

bool too_long(int formatted) { return formatted < 0 || formatted > MILTER_MAX_TEXT; }

// Whether the declaration whose key starts at `at` closes its parenthesis
// on this line, as m4 counts them: quoted ones do not count. One that goes
// on would leave its rest behind as a stray line when replaced.
bool whole_declaration(std::string_view line, size_t at)
{
    int depth = 0, quotes = 0;
    for (size_t i = line.find('(', at); i < line.size(); i++) {
        const char c = line[i];
        if (c == '\n')
            break;
        if (c == '`') {
            quotes++;
        } else if (c == '\'' && quotes > 0) {
            quotes--;
        } else if (quotes == 0 && (c == '(' || c == ')')) {
            depth += c == '(' ? 1 : -1;
            if (depth == 0)
                return true;
        }
    }
    return false;
}

// A declaration in a line of sendmail.mc: INPUT_MAIL_FILTER(`NAME' or
// MAIL_FILTER(`NAME'. sendmail takes every enabled one for a filter; one
// that m4 never reads, behind a dnl or a # on its line, is disabled.
struct declaration {
    size_t at;  // where its macro name begins
    std::string_view name;
    size_t end;  // where its name ends
};

constexpr std::string_view FILTER_MACRO = "MAIL_FILTER(`";
constexpr std::string_view INPUT_PREFIX = "INPUT_";

// The first declaration in line at or after from; at is npos for none.
declaration next_declaration(std::string_view line, size_t from)
{
    for (size_t at = line.find(FILTER_MACRO, from); at != std::string_view::npos;
         at = line.find(FILTER_MACRO, at + 1)) {
        size_t start = at;
        if (at >= INPUT_PREFIX.size() &&
            line.substr(at - INPUT_PREFIX.size(), INPUT_PREFIX.size()) == INPUT_PREFIX)
            start -= INPUT_PREFIX.size();
        const size_t name = at + FILTER_MACRO.size(), end = line.find('\'', name);
        // Part of another macro's name, or no name that ends on this line.
        if ((start > 0 && in_word(line[start - 1])) || end == std::string_view::npos)
            continue;
        return {start, line.substr(name, end - name), end};
    }
    return {std::string_view::npos, {}, std::string_view::npos};
}

bool hidden(std::string_view before)
{
    if (before.find('#') != std::string_view::npos)
        return true;
    for (size_t at = before.find("dnl"); at != std::string_view::npos;
         at = before.find("dnl", at + 1)) {
        const size_t end = at + 3;
        if ((at == 0 || !in_word(before[at - 1])) && (end == before.size() || !in_word(before[end])))
            return true;
    }
    return false;
}

// Decides, line by line, what becomes of sendmail.mc: the first line that
// declares the milter (its name compared without regard to ASCII case, as
// sendmail compares them) gives way to the new line, unless the call adds,
// and a change that leaves more filters enabled than sendmail takes is
// refused. why says what refused it.
class declarations {
public:
    declarations(const char *milter, bool adding, bool enabling)
        : milter_(milter), adding_(adding), enabled_(enabling ? 1 : 0)
    {
    }

    line_choice operator()(std::string_view line)
    {
        bool mine = false;
        int enabled = 0;
        for (declaration d = next_declaration(line, 0); d.at != std::string_view::npos;
             d = next_declaration(line, d.end)) {
            if (!found_ && same_key(d.name, milter_)) {
                if (adding_)
                    return refuse(MSG_DECLARED);
                // Its rest would stay behind as a stray line.
                if (!whole_declaration(line, d.at))
                    return refuse(MSG_SPLIT);
                mine = true;
            }
            if (!hidden(line.substr(0, d.at)))
                enabled++;
        }
        if (mine) {
            found_ = true;
            return line_choice::replace;
        }
        enabled_ += enabled;
        return enabled_ > MAX_MILTERS ? refuse(MSG_TOO_MANY) : line_choice::keep;
    }

    const char *why() const { return why_; }

private:
    line_choice refuse(const char *why)
    {
        why_ = why;
        return line_choice::refuse;
    }

    const char *milter_;
    bool adding_;
    int enabled_;  // the new line's and those of every line kept so far
    bool found_ = false;
    const char *why_ = nullptr;
};

// Writes the line in place of the milter's declaration, or appends it.
int write_declaration(const char *line, const char *milter, unsigned char enabled, char mode)
{
    declarations decls(milter, mode == EM_ADDLINE, enabled == MILTER_STATUS_ENABLED);
    bool refused = false;
    const line_chooser choose = [&decls](std::string_view text) { return decls(text); };
    if (add_edit_chosen(SENDMAIL_CONF, line, mode, choose, &refused))
        return 1;
    if (decls.why() != nullptr)
        std::fprintf(stderr, decls.why(), milter);
    return 0;
}

}  // namespace

int replace_milter(const char *milter, const char *socket, unsigned char enabled,
                   unsigned char fail_type, unsigned int C, unsigned int R, unsigned int E,
                   unsigned int S, char mode)
{
    char match_buf[MILTER_MAX_TEXT + 1];
    char milter_line[MILTER_MAX_TEXT + 1];

    if (milter == nullptr || socket == nullptr)
        return 0;
    if (const char *message = refusal(milter, socket)) {
        std::fputs(message, stderr);
        return 0;
    }
    // The closing quote ends the key, so that f1 never matches f10.
    if (too_long(std::snprintf(match_buf, sizeof match_buf, "%s%s'", MILTER_LINE_START, milter))) {
        std::fputs(MSG_MILTER_NAME_TOO_LONG, stderr);
        return 0;
    }
    const char *fail_str = fail_flag(fail_type);
    if (fail_str == nullptr) {
        std::perror(MSG_BAD_FAIL_TYPE);
        return 0;
    }
    const char *format = line_format(enabled);
    if (format == nullptr)
        return 0;
    // The timeouts are written as the signed values the caller meant.
    if (too_long(std::snprintf(milter_line, sizeof milter_line, format, milter, socket, fail_str,
                               static_cast<int>(C), static_cast<int>(E), static_cast<int>(R),
                               static_cast<int>(S)))) {
        std::fputs(MSG_LINE_TOO_LONG, stderr);
        return 0;
    }
    if (mode == EM_EDITLINE || mode == EM_ADDLINE)
        return write_declaration(milter_line, milter, enabled, mode);
    return add_edit_line(SENDMAIL_CONF, milter_line, match_buf, mode);
}
