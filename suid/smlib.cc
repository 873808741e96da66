// Start-up checks and table line requests.
#include "smlib.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "edit_file.h"
#include "service.h"

// Judged only through a safe path, and so only as root where nobody else
// could have laid the tree: a link in a tree the caller laid would
// otherwise tell, by the answer, whether any path exists.
static bool installed(const char *path)
{
    struct stat st;
    return safe_path(path) && stat(path, &st) == 0;
}

int is_sm_installed()
{
    // Both are looked at, whatever the first one gave.
    const bool root_ok = installed(SENDMAIL_ROOT);
    const bool conf_ok = installed(SENDMAIL_CONF);
    return root_ok && conf_ok ? 1 : 0;
}

int start_up(const char *suid_msg, int no_sendmail_status, int suid_status, int *status)
{
    secure_stdio();
    ignore_caller_signals();
    if (!is_sm_installed()) {
        std::fputs(MSG_NOT_INSTALLED, stderr);
        *status = no_sendmail_status;
        return 0;
    }
    if (!do_suid()) {
        std::fputs(suid_msg, stderr);
        *status = suid_status;
        return 0;
    }
    leave_caller_cgroups();
    return 1;
}

FILE *open_regular(const char *path)
{
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    FILE *fp = nullptr;
    if (fstat(fd, &st) == 0) {
        if (S_ISREG(st.st_mode))
            fp = fdopen(fd, "r");
        else
            errno = EINVAL;
    }
    if (fp == nullptr) {
        const int err = errno;
        close(fd);
        errno = err;
    }
    return fp;
}

static const char MSG_COMMIT_FAILED[] = "Failed to commit the changes to the file.";
static const char MSG_ADD_FAILED[] = "Failed to add the specified line to the file.";
static const char MSG_MODIFY_FAILED[] = "Failed to modify the specified line.";
static const char MSG_REMOVE_FAILED[] = "Failed to remove one or more of the specified lines.";
static const char MSG_PAST_END[] = "Line %d is past the end of the file.\n";

// Lets perror name something sensible when a line operation failed without
// a failing system call (a file without lines).
static void blame_no_data(int rc)
{
    if (rc == 0 && errno == 0)
        errno = ENODATA;
}

static const char MSG_IN_PROGRESS[] = "An edit of %s is in progress; try again.\n";
static const char MSG_LEFT_BEHIND[] =
    "%s.tmp was left by an edit that did not finish; it is to be removed once no edit runs.\n";

// A taken temporary name is either a running edit's, which is soon over, or
// a killed one's, which blocks the file until someone removes it: the
// caller is told which.
static edit_ptr open_request(const char *file)
{
    edit_ptr ef(open_file(file));
    if (!ef) {
        const int err = errno;
        if (err == EEXIST) {
            const std::string tmp = std::string(file) + ".tmp";
            std::fprintf(stderr, tmp_in_use(tmp.c_str()) ? MSG_IN_PROGRESS : MSG_LEFT_BEHIND, file);
        }
        errno = err;
        std::perror("Failed to open the file.");
    }
    return ef;
}

// A request reports its failure only once its transaction is released: a
// message to a standard error that nobody reads blocks, and must not do so
// while the temporary file holds the table. free_file keeps errno.
static int fail(edit_ptr &ef, const char *message)
{
    ef.reset();
    std::perror(message);
    return 0;
}

static int commit_request(edit_ptr &ef)
{
    if (commit_file(ef.get()) > 0)
        return 1;
    return fail(ef, MSG_COMMIT_FAILED);
}

static int edit_request(edit_ptr &ef, const char *line_new, const char *line_old)
{
    if (line_old == nullptr) {
        ef.reset();
        std::fputs("Invalid parameter to add_edit_line().\n", stderr);
        return 0;
    }
    errno = 0;
    const int rc = modify_line(ef.get(), static_cast<unsigned long>(-1), line_old, line_new);
    if (rc > 0)
        return 1;
    blame_no_data(rc);
    return fail(ef, MSG_MODIFY_FAILED);
}

int add_edit_line(const char *file, const char *line_new, const char *line_old, char mode)
{
    if (line_new == nullptr || file == nullptr)
        return 0;
    edit_ptr ef = open_request(file);
    if (!ef)
        return 0;
    if (mode == EM_ADDLINE) {
        if (add_line(ef.get(), line_new) <= 0)
            return fail(ef, MSG_ADD_FAILED);
    } else if (mode == EM_EDITLINE) {
        if (!edit_request(ef, line_new, line_old))
            return 0;
    } else {
        // Nothing was changed, so there is nothing to commit; the temporary
        // file goes with the transaction.
        errno = EINVAL;
        return fail(ef, MSG_COMMIT_FAILED);
    }
    return commit_request(ef);
}

int add_edit_chosen(const char *file, const char *line_new, char mode,
                    const line_chooser &choose, bool *refused)
{
    *refused = false;
    if (line_new == nullptr || file == nullptr)
        return 0;
    edit_ptr ef = open_request(file);
    if (!ef)
        return 0;
    bool seen = false, chosen = false;
    errno = 0;
    const int rc = modify_chosen(ef.get(), line_new, [&](std::string_view line) {
        seen = true;
        const line_choice c = choose(line);
        if (c == line_choice::refuse)
            *refused = true;
        chosen = chosen || c == line_choice::replace;
        return c;
    });
    // A removal that found nothing to remove changes nothing.
    if (*refused || (rc > 0 && mode == EM_RMLINE && !chosen)) {
        ef.reset();
        *refused = true;
        return 0;
    }
    const char *failed = mode == EM_ADDLINE   ? MSG_ADD_FAILED
                         : mode == EM_RMLINE ? MSG_REMOVE_FAILED
                                             : MSG_MODIFY_FAILED;
    // As with a match text, an edit needs a line to work on.
    if (rc > 0 && mode == EM_EDITLINE && !seen) {
        errno = ENODATA;
        return fail(ef, failed);
    }
    if (rc <= 0) {
        blame_no_data(rc);
        return fail(ef, failed);
    }
    return commit_request(ef);
}

int add_edit_keyed(const char *file, const char *line_new, char mode, key_edit &edit,
                   bool *refused)
{
    *refused = false;
    if (line_new == nullptr || file == nullptr)
        return 0;
    edit_ptr ef = open_request(file);
    if (!ef)
        return 0;
    errno = 0;
    const int rc = modify_keyed(ef.get(), line_new, edit);
    // A removal that found nothing to remove changes nothing, in a file
    // without lines too (which modify_keyed refuses without an errno).
    const bool missing = mode == EM_RMLINE && !edit.found && (rc > 0 || errno == 0);
    if (!edit.taken.empty() || missing) {
        ef.reset();
        *refused = true;
        return 0;
    }
    if (rc <= 0) {
        blame_no_data(rc);
        return fail(ef, mode == EM_ADDLINE   ? MSG_ADD_FAILED
                        : mode == EM_RMLINE ? MSG_REMOVE_FAILED
                                            : MSG_MODIFY_FAILED);
    }
    return commit_request(ef);
}

int remove_lines(const char *file, const unsigned int *lines, unsigned int count)
{
    if (file == nullptr || lines == nullptr)
        return 0;
    edit_ptr ef = open_request(file);
    if (!ef)
        return 0;
    errno = 0;
    const int rc = rm_lines(ef.get(), lines, count);
    if (rc <= 0) {
        blame_no_data(rc);
        return fail(ef, MSG_REMOVE_FAILED);
    }
    // rm_lines reads on past the highest number listed where the file goes
    // on: a count below it means the file ends first.
    for (unsigned int i = 0; i < count; i++) {
        if (lines[i] > static_cast<unsigned int>(rc)) {
            ef.reset();
            std::fprintf(stderr, MSG_PAST_END, static_cast<int>(lines[i]));
            return 0;
        }
    }
    return commit_request(ef);
}

int remove_mt_lines(const unsigned int *lines, unsigned int count)
{
    return remove_lines(SENDMAIL_ROUTESET, lines, count);
}

int remove_at_lines(const unsigned int *lines, unsigned int count)
{
    return remove_lines(SENDMAIL_PERMITSET, lines, count);
}

// One word of a removal's command line; 0 after a message when it holds no
// number in the signed 32-bit range.
static int line_number(const char *word, unsigned int *number)
{
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(word, &end, 10);
    // Anything after the digits would make the word another number's.
    if (end == word || *end != '\0') {
        std::fprintf(stderr, "Line number must be a valid integer. %s is not a valid integer.\n",
                     word);
        return 0;
    }
    if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX) {
        std::fputs("Line number is out of range.\n", stderr);
        return 0;
    }
    // A negative number wraps to one that names no line.
    *number = static_cast<unsigned int>(value);
    return 1;
}

unsigned int *get_line_numbers(int argc, char **argv, unsigned int *count)
{
    // argv[1] is taken to be the one option word; the numbers follow it.
    *count = static_cast<unsigned int>(argc - 2);
    if (*count > MAX_BATCH_LINES) {
        std::fputs("Too many lines to delete at once.", stderr);
        return nullptr;
    }
    line_list lines(static_cast<unsigned int *>(std::malloc(sizeof(unsigned int) * *count + 1)));
    if (!lines) {
        std::perror("Failed to allocate enough memory for the list of lines to delete.");
        return nullptr;
    }
    for (unsigned int i = 0; i < *count; i++) {
        if (!line_number(argv[i + 2], &lines[i]))
            return nullptr;
    }
    return lines.release();
}
