// The milter declaration line of sendmail.mc.
#include "smlib.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
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
    return nullptr;
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

// Replaces the first line that holds the key, if it holds the whole
// declaration; appends the line when none holds the key.
int replace_declaration(const char *line, const char *key, const char *milter)
{
    bool found = false, refused = false;
    const auto choose = [&](std::string_view text) {
        const size_t at = found ? std::string_view::npos : text.find(key);
        if (at == std::string_view::npos)
            return line_choice::keep;
        found = true;
        return whole_declaration(text, at) ? line_choice::replace : line_choice::refuse;
    };
    if (add_edit_chosen(SENDMAIL_CONF, line, EM_EDITLINE, choose, &refused))
        return 1;
    if (refused)
        std::fprintf(stderr, MSG_SPLIT, milter);
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
    if (mode == EM_EDITLINE)
        return replace_declaration(milter_line, match_buf, milter);
    return add_edit_line(SENDMAIL_CONF, milter_line, match_buf, mode);
}
