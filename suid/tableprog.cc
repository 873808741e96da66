// The program shape that routeset and permitset share.
#include "tableprog.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "smlib.h"

namespace {

constexpr int USAGE_STATUS = 1;
constexpr int FAIL_STATUS = -1;
constexpr size_t PROG_NAME_MAX = 9;
constexpr size_t MAX_LINE_NUMBER_LEN = 3;

constexpr char MSG_INVALID_OPTION[] = "Invalid option [%c]\n";
constexpr char MSG_MISSING_OPTION[] = "Missing a required option.\n";
constexpr char MSG_NO_MODE[] =
    "A valid mode was not selected. The mode must be one of -a (add), -e (edit) or -r (remove)\n";
constexpr char MSG_NO_LINE_LIST[] = "Failed to get the list of line numbers.\n";
constexpr char MSG_KEY_AND_NUMBERS[] = "A removal takes an entry or line numbers, not both.\n";

// glibc's getopt reorders the words unless told to stop at the first one
// that is not an option, as POSIX has it.
#ifdef __GLIBC__
constexpr char POSIX_SCAN[] = "+";
#else
constexpr char POSIX_SCAN[] = "";
#endif

struct request {
    unsigned char mode = 0;
    table_names names = {};
};

void take_prog_name(char (&prog_name)[PROG_NAME_MAX + 1], int argc, char **argv,
                    const char *own_name)
{
    const char *name = own_name;
    if (argc > 0 && argv[0] != nullptr && std::strlen(argv[0]) <= PROG_NAME_MAX)
        name = argv[0];
    std::snprintf(prog_name, sizeof prog_name, "%s", name);
}

void print_usage_lines(const table_prog &prog, const char *prog_name)
{
    for (const char *line : prog.usage)
        std::fprintf(stderr, line, prog_name);
}

// The number itself is never used; only its form is checked.
int check_line_number(const char *arg, int *status)
{
    if (*arg == '\0') {
        std::fputs("Line number argument requires a number to be specified.\n", stderr);
        *status = ER_LINE_MISSING;
        return 0;
    }
    if (std::strlen(arg) > MAX_LINE_NUMBER_LEN) {
        std::fputs("Line number is too long.\n", stderr);
        *status = ER_LINE_TOO_LONG;
        return 0;
    }
    char *end = nullptr;
    (void)std::strtol(arg, &end, 10);
    if (end == arg) {
        std::fputs("Line number must be a valid digit.\n", stderr);
        *status = ER_FAIL_DIGIT;
        return 0;
    }
    return 1;
}

int take_name(const name_option &opt, const char *arg, char *dest, int *status)
{
    const size_t len = std::strlen(arg);
    if (len == 0) {
        std::fputs(opt.empty_msg, stderr);
        *status = FAIL_STATUS;
        return 0;
    }
    if (len > MAX_NAME_LEN) {
        std::fprintf(stderr, opt.too_long_msg, static_cast<int>(MAX_NAME_LEN + 1));
        *status = USAGE_STATUS;
        return 0;
    }
    std::memcpy(dest, arg, len + 1);
    return 1;
}

// A letter that is not one of the shared ones: a name option, or one that
// getopt refused.
int take_other(const table_prog &prog, const char *prog_name, int c, request &req, int *status)
{
    for (size_t i = 0; i < prog.name_count; i++) {
        if (prog.names[i].letter == c)
            return take_name(prog.names[i], optarg, req.names.text[i], status);
    }
    std::fprintf(stderr, MSG_INVALID_OPTION, c);
    print_usage_lines(prog, prog_name);
    *status = USAGE_STATUS;
    return 0;
}

// Each option is acted on as it is read, so the first faulty one ends the run.
int read_options(const table_prog &prog, const char *prog_name, int argc, char **argv,
                 request &req, int *status)
{
    const std::string optstring = std::string(POSIX_SCAN) + prog.optstring;
    int c;
    while ((c = getopt(argc, argv, optstring.c_str())) != -1) {
        switch (c) {
        case 'a': req.mode = MODE_ADD; break;
        case 'e': req.mode = MODE_EDIT; break;
        case 'r': req.mode = MODE_REMOVE; break;
        case 'l':
            if (!check_line_number(optarg, status))
                return 0;
            break;
        default:
            if (!take_other(prog, prog_name, c, req, status))
                return 0;
            break;
        }
    }
    return 1;
}

bool names_missing(const table_prog &prog, const request &req)
{
    for (size_t i = 0; i < prog.name_count; i++) {
        if ((prog.names[i].needed_by & req.mode) != 0 && req.names[i][0] == '\0')
            return true;
    }
    return false;
}

int remove_request(const table_prog &prog, int argc, char **argv)
{
    unsigned int line_count = 0;
    const line_list plines(get_line_numbers(argc, argv, &line_count));
    if (!plines) {
        std::fputs(MSG_NO_LINE_LIST, stderr);
        return FAIL_STATUS;
    }
    if (!prog.remove(plines.get(), line_count)) {
        std::fputs(prog.remove_failed, stderr);
        return FAIL_STATUS;
    }
    return ER_SUCCESS;
}

int name_request(int (*request_fn)(const table_names &), const table_names &names,
                 const char *failed)
{
    if (!request_fn(names)) {
        std::fputs(failed, stderr);
        return FAIL_STATUS;
    }
    return ER_SUCCESS;
}

int carry_out(const table_prog &prog, const char *prog_name, const request &req, int argc,
              char **argv)
{
    if (req.mode == 0) {
        std::fputs(MSG_NO_MODE, stderr);
        return FAIL_STATUS;
    }
    // Refused before any file is touched, rather than writing a text no
    // option has set.
    if (names_missing(prog, req)) {
        std::fputs(MSG_MISSING_OPTION, stderr);
        print_usage_lines(prog, prog_name);
        return USAGE_STATUS;
    }
    if (req.mode == MODE_ADD)
        return name_request(prog.add, req.names, prog.add_failed);
    if (req.mode == MODE_EDIT)
        return name_request(prog.edit, req.names, prog.edit_failed);
    if (req.names[prog.key_name][0] == '\0')
        return remove_request(prog, argc, argv);
    // Numbers are the words after the options.
    if (optind < argc) {
        std::fputs(MSG_KEY_AND_NUMBERS, stderr);
        print_usage_lines(prog, prog_name);
        return USAGE_STATUS;
    }
    return name_request(prog.remove_key, req.names, prog.remove_failed);
}

}  // namespace

int table_main(const table_prog &prog, int argc, char **argv)
{
    char prog_name[PROG_NAME_MAX + 1];
    take_prog_name(prog_name, argc, argv, prog.name);
    int status = ER_SUCCESS;
    if (!start_up(MSG_CHANGE_UID, ER_NO_SENDMAIL, ER_SUID_FAILED, &status))
        return status;
    request req;
    if (!read_options(prog, prog_name, argc, argv, req, &status))
        return status;
    return carry_out(prog, prog_name, req, argc, argv);
}
