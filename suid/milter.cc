// The milter declaration line of sendmail.mc.
#include "smlib.h"

#include <cstdio>
#include <cstring>

namespace {

// Longest declaration line and match key, in characters.
constexpr int MILTER_MAX_TEXT = 1098;

constexpr char MILTER_FORMAT_ENABLED[] =
    "INPUT_MAIL_FILTER(`%s',`S=%s,%sT=C:%dm;E:%dm;R:%dm;S:%dm')\n";
constexpr char MILTER_FORMAT_DISABLED[] =
    "dnl INPUT_MAIL_FILTER(`%s',`S=%s,%sT=C:%dm;E:%dm;R:%dm;S:%dm')\n";

constexpr char MSG_NAME_BAD_CHAR[] = "Milter name contains a character that is not allowed.\n";
constexpr char MSG_SOCKET_BAD_CHAR[] = "Socket name contains a character that is not allowed.\n";
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
    if (!allowed_in_m4_arg(milter)) {
        std::fputs(MSG_NAME_BAD_CHAR, stderr);
        return 0;
    }
    if (!allowed_in_m4_arg(socket)) {
        std::fputs(MSG_SOCKET_BAD_CHAR, stderr);
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
