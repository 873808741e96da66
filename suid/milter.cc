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

// sendmail.mc is turned into sendmail.cf by m4, normally as root: a quote,
// a parenthesis or a comma would let the text leave its quoted argument or
// call a macro, a comment sign hides the rest of the line, and a control
// byte could end the line.
bool allowed_in_m4_arg(const char *text)
{
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
        if (*p < 0x20 || *p == 0x7f || std::strchr(" `'(),#", *p) != nullptr)
            return false;
    }
    return true;
}

// m4 knows only ASCII letters: any other byte, like a digit outside a word,
// stands between words.
bool is_lower(char c) { return c >= 'a' && c <= 'z'; }
bool starts_word(char c) { return is_lower(c) || (c >= 'A' && c <= 'Z') || c == '_'; }
bool in_word(char c) { return starts_word(c) || (c >= '0' && c <= '9'); }

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
    if (!allowed_in_m4_arg(milter))
        return MSG_NAME_BAD_CHAR;
    if (!allowed_in_m4_arg(socket))
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
    return add_edit_line(SENDMAIL_CONF, milter_line, match_buf, mode);
}
