// hookset: writes one milter declaration into the private sendmail.mc,
// appended or in place of the named milter's present one.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "smlib.h"

namespace {

const int ER_UNKNOWN = -1;
const int ER_SUCCESS = 0;
const int ER_NO_SENDMAIL = 1;
const int ER_SUID_FAILED = 2;
[[maybe_unused]] const int ER_MEMORY = 3;
const int ER_NAME_LEN = 4;
const int ER_SOCKET_LEN = 5;
const int ER_FAIL_DIGIT = 6;
[[maybe_unused]] const int ER_FAIL_RANGE = 7;
const int ER_FAIL_1OR0 = 8;
const int ER_FAIL_LEN = 9;
const int ER_TO_CONVERT = 10;
const int ER_TO_LEN = 11;
[[maybe_unused]] const int ER_SAVE = 12;
const int ER_PARAM = 13;
const int ER_ENABLED_LEN = 14;
const int ER_ENABLED_BAD = 15;
[[maybe_unused]] const int ER_ADD_DUPLICATE = 16;

const unsigned char MASK_M = 128;
const unsigned char MASK_S = 64;
const unsigned char MASK_F = 32;
const unsigned char MASK_C = 16;
const unsigned char MASK_R = 8;
const unsigned char MASK_E = 4;
const unsigned char MASK_SS = 2;
const unsigned char MASK_T = 1;
const unsigned char MASK_ALL = 255;

const unsigned char MAX_ENABLED = 10;

const unsigned char TO_C = 0;
const unsigned char TO_R = 1;
const unsigned char TO_E = 2;
const unsigned char TO_S = 3;

const size_t MAX_NAME = 24;
const size_t MAX_SOCKET = 1033;
const size_t MAX_FAIL_TYPE = 1;
const size_t MAX_TIMEOUT = 9;

// glibc's getopt reorders the words unless told not to; scanning must stop
// at the first word that is not an option.
#ifdef __GLIBC__
const char OPTSTRING[] = "+m:s:f:C:R:E:S:t:a";
#else
const char OPTSTRING[] = "m:s:f:C:R:E:S:t:a";
#endif

const char MSG_USAGE[] = "Parameters: [-a] -m -s -t -f -C -R -E -S\n";
const char MSG_MISSING[] = "Missing a required parameter. All parameters are required.\n";
const char MSG_SOCKET_LONG[] = "Socket name is too long.\n";
const char MSG_FAIL_LONG[] = "Fail type argument too long.\n";
const char MSG_FAIL_DIGIT[] = "Fail type must be a valid digit.\n";
const char MSG_FAIL_1OR0[] = "Fail type must be either 0 (fail) or 1 (reject) or 2 (accept).\n";
const char MSG_TO_LONG[] = "Time out value is too long.\n";
const char MSG_TO_INVALID[] = "Timeout is invalid.\n";
const char MSG_TO_CONVERT[] = "Failed to convert a timeout value.\n";
const char MSG_ENABLED_LONG[] = "Enabled value is too long.\n";
const char MSG_ENABLED_BAD[] = "Invalid status %s. Only enabled or disabled are allowed.\n";
const char MSG_ADD_FAILED[] = "Failed to add the new milter.\n";

int timeouts[4];

// What the command line fills in.
struct request {
    char milter_name[MAX_NAME + 2];
    char socket_name[MAX_SOCKET + 2];
    long fail_type = FT_FAIL;
    char enabled = MILTER_STATUS_DISABLED;
    char add_new = EM_EDITLINE;
    unsigned char reqparm = 0;
};

// Writes message and gives the status to end with.
int refuse(const char *message, int status)
{
    std::fputs(message, stderr);
    return status;
}

int set_timeout(const char *optarg, unsigned char *reqparm, int c)
{
    char to_buf[MAX_TIMEOUT + 2];
    if (optarg == nullptr || reqparm == nullptr)
        return 0;
    const size_t len = std::strlen(optarg);
    if (len > MAX_TIMEOUT)
        return 0;
    std::memcpy(to_buf, optarg, len + 1);
    char *end = nullptr;
    const long value = std::strtol(to_buf, &end, 10);
    if (end == to_buf) {
        std::fputs(MSG_TO_INVALID, stderr);
        return 0;
    }
    // Nine characters always fit an int.
    switch (c) {
    case 'C': timeouts[TO_C] = static_cast<int>(value); *reqparm |= MASK_C; return 1;
    case 'R': timeouts[TO_R] = static_cast<int>(value); *reqparm |= MASK_R; return 1;
    case 'E': timeouts[TO_E] = static_cast<int>(value); *reqparm |= MASK_E; return 1;
    case 'S': timeouts[TO_S] = static_cast<int>(value); *reqparm |= MASK_SS; return 1;
    default: return 0;
    }
}

// A text option: refused when over its limit, else copied whole. Each
// buffer holds its limit, the NUL and one spare byte.
template <size_t N>
int take_text(const char *arg, char (&dest)[N], const char *too_long, int status,
              unsigned char mask, request &rq)
{
    const size_t len = std::strlen(arg);
    if (len > N - 2)
        return refuse(too_long, status);
    std::memcpy(dest, arg, len + 1);
    rq.reqparm |= mask;
    return ER_SUCCESS;
}

int take_fail_type(const char *arg, request &rq)
{
    char fail_type_buf[MAX_FAIL_TYPE + 2];
    const size_t len = std::strlen(arg);
    if (len > MAX_FAIL_TYPE)
        return refuse(MSG_FAIL_LONG, ER_FAIL_LEN);
    std::memcpy(fail_type_buf, arg, len + 1);
    char *end = nullptr;
    const long value = std::strtol(fail_type_buf, &end, 10);
    if (end == fail_type_buf)
        return refuse(MSG_FAIL_DIGIT, ER_FAIL_DIGIT);
    if (value != static_cast<long>(FT_ACCEPT) && value != static_cast<long>(FT_REJECT) &&
        value != static_cast<long>(FT_FAIL))
        return refuse(MSG_FAIL_1OR0, ER_FAIL_1OR0);
    rq.fail_type = value;
    rq.reqparm |= MASK_F;
    return ER_SUCCESS;
}

int take_timeout(const char *arg, int c, request &rq)
{
    if (std::strlen(arg) > MAX_TIMEOUT)
        return refuse(MSG_TO_LONG, ER_TO_LEN);
    if (!set_timeout(arg, &rq.reqparm, c))
        return refuse(MSG_TO_CONVERT, ER_TO_CONVERT);
    return ER_SUCCESS;
}

int take_status(const char *arg, request &rq)
{
    if (std::strlen(arg) >= MAX_ENABLED)
        return refuse(MSG_ENABLED_LONG, ER_ENABLED_LEN);
    if (std::strncmp(arg, "enabled", 7) == 0) {
        rq.enabled = MILTER_STATUS_ENABLED;
    } else if (std::strncmp(arg, "disabled", 8) == 0) {
        rq.enabled = MILTER_STATUS_DISABLED;
    } else {
        std::fprintf(stderr, MSG_ENABLED_BAD, arg);
        return ER_ENABLED_BAD;
    }
    rq.reqparm |= MASK_T;
    return ER_SUCCESS;
}

// ER_SUCCESS to read on, or the status to end with.
int take_option(int c, const char *arg, request &rq)
{
    if (c == 'a') {
        rq.add_new = EM_ADDLINE;
        return ER_SUCCESS;
    }
    if (c == '?')
        return ER_PARAM;  // getopt has said what was wrong
    // An empty argument counts as the option not given.
    if (arg == nullptr || arg[0] == '\0')
        return ER_SUCCESS;
    switch (c) {
    case 'm':
        return take_text(arg, rq.milter_name, MSG_MILTER_NAME_TOO_LONG, ER_NAME_LEN, MASK_M, rq);
    case 's':
        return take_text(arg, rq.socket_name, MSG_SOCKET_LONG, ER_SOCKET_LEN, MASK_S, rq);
    case 'f': return take_fail_type(arg, rq);
    case 'C': case 'R': case 'E': case 'S': return take_timeout(arg, c, rq);
    case 't': return take_status(arg, rq);
    default: return ER_PARAM;
    }
}

}  // namespace

int main(int argc, char **argv)
{
    int status = ER_UNKNOWN;
    if (!start_up(MSG_CANT_GO_SUID, ER_NO_SENDMAIL, ER_SUID_FAILED, &status))
        return status;

    request rq;
    int c;
    while ((c = getopt(argc, argv, OPTSTRING)) != -1) {
        status = take_option(c, optarg, rq);
        if (status != ER_SUCCESS)
            return status;
    }
    if ((rq.reqparm & MASK_ALL) != MASK_ALL) {
        std::fputs(MSG_MISSING, stderr);
        return refuse(MSG_USAGE, ER_PARAM);
    }
    if (!replace_milter(rq.milter_name, rq.socket_name, static_cast<unsigned char>(rq.enabled),
                        static_cast<unsigned char>(rq.fail_type),
                        static_cast<unsigned int>(timeouts[TO_C]),
                        static_cast<unsigned int>(timeouts[TO_R]),
                        static_cast<unsigned int>(timeouts[TO_E]),
                        static_cast<unsigned int>(timeouts[TO_S]), rq.add_new))
        return refuse(MSG_ADD_FAILED, ER_PARAM);
    return ER_SUCCESS;
}
