// mtactl: starts and stops the private sendmail through its init script,
// prints the process id it last recorded, and switches the mail server
// between its gateway and hub configurations.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "edit_file.h"
#include "service.h"
#include "smlib.h"

// POSIX has programs declare it themselves; glibc happens to as well.
extern char **environ;  // NOLINT(readability-redundant-declaration)

namespace {

#ifdef __GLIBC__
// glibc reorders the words unless told not to; scanning must stop at the
// first word that is not an option.
constexpr char OPTSTRING[] = "+s:phg";
#else
constexpr char OPTSTRING[] = "s:phg";
#endif

constexpr char MSG_USAGE[] =
    "You must specify either -s to start/stop sendmail or -p to return sendmail's most "
    "recent PID\n";
constexpr char MSG_USAGE_MODE[] =
    "You may also switch which mode your mail server is running as. -h makes it a hub and "
    "-g makes it a gateway\n";
constexpr char MSG_BAD_WORD[] = "Invalid option. You can only use -s start or -s stop.\n";
constexpr char MSG_EXEC[] = "Failed to execute sendmail";
constexpr char MSG_PID_OPEN[] = "Failed to open sendmail.pid file.";

constexpr char INIT_ARG0[] = "sendmail";
constexpr char INIT_PATH_ENV[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
constexpr int PID_LINE = 500;

bool is_alnum(char ch)
{
    return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9');
}

bool plain_value(std::string_view value)
{
    return std::all_of(value.begin(), value.end(), [](char ch) {
        return is_alnum(ch) || ch == '.' || ch == '_' || ch == '-' || ch == '@';
    });
}

bool locale_name(std::string_view name)
{
    if (name == "LANG")
        return true;
    if (name.size() <= 3 || name.substr(0, 3) != "LC_")
        return false;
    const std::string_view rest = name.substr(3);
    return std::all_of(rest.begin(), rest.end(),
                       [](char ch) { return (ch >= 'A' && ch <= 'Z') || ch == '_'; });
}

bool has_name(const std::vector<std::string> &env, std::string_view entry)
{
    const std::string_view name = entry.substr(0, entry.find('=') + 1);
    return std::any_of(env.begin(), env.end(), [name](const std::string &e) {
        return std::string_view(e).substr(0, name.size()) == name;
    });
}

// The script gets a fresh environment: a fixed PATH and the caller's locale
// where it is a plain name. Later duplicates are ignored.
std::vector<std::string> init_env()
{
    std::vector<std::string> env{INIT_PATH_ENV};
    for (char **e = environ; *e != nullptr; e++) {
        const std::string_view entry(*e);
        const size_t eq = entry.find('=');
        if (eq == std::string_view::npos || !locale_name(entry.substr(0, eq)) ||
            !plain_value(entry.substr(eq + 1)) || has_name(env, entry))
            continue;
        env.emplace_back(entry);
    }
    return env;
}

// The script runs with the program's identity, so it must pass the test of
// every critical file. It is checked through a descriptor and then run by
// its name: its path is safe, so nobody but root can swap it in between.
// A link at its name is not followed: it could lead to any root-owned
// program, which would get the -s word as its script.
int init_trusted()
{
    if (!trusted_path(SENDMAIL_INIT))
        return 0;
    const int fd = open(SENDMAIL_INIT, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::perror(MSG_EXEC);
        return 0;
    }
    file_ptr fp(fdopen(fd, "r"));
    if (!fp) {
        std::perror(MSG_EXEC);
        close(fd);
        return 0;
    }
    return permissions_ok(fp.get(), SENDMAIL_INIT);
}

int run_init(char *word)
{
    if (!init_trusted())
        return -1;
    std::vector<std::string> env = init_env();
    std::vector<char *> envp(env.size() + 1, nullptr);
    std::transform(env.begin(), env.end(), envp.begin(), [](std::string &e) { return e.data(); });
    std::string arg0 = INIT_ARG0;
    char *const argv[] = {arg0.data(), word, nullptr};
    return run_service(SENDMAIL_INIT, argv, envp.data(), MSG_EXEC);
}

int start_stop(char *word)
{
    if (std::strncmp(word, "start", 5) != 0 && std::strncmp(word, "stop", 4) != 0) {
        std::fputs(MSG_BAD_WORD, stderr);
        return -1;
    }
    return run_init(word);
}

// A link or anything but a regular file at the name counts as a missing
// file; not blocking keeps a FIFO there from hanging the run. A file in a
// directory others may change is refused as one root may not read.
file_ptr open_pid_file()
{
    if (!safe_path(SENDMAIL_PID)) {
        errno = EACCES;
        return nullptr;
    }
    return file_ptr(open_regular(SENDMAIL_PID));
}

int print_pid()
{
    const file_ptr fd = open_pid_file();
    if (!fd) {
        std::perror(MSG_PID_OPEN);
        return -1;
    }
    char line_buf[PID_LINE];
    if (const char *p = std::fgets(line_buf, PID_LINE, fd.get()))
        std::printf("%s", p);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    int status = 0;
    if (!start_up(MSG_CANT_GO_SUID, -1, -1, &status))
        return status;
    const int c = getopt(argc, argv, OPTSTRING);
    switch (c) {
    case -1:
        std::fputs(MSG_USAGE, stderr);
        return 1;
    case 'h':
        return make_hub() ? 0 : 1;
    case 'g':
        return make_gateway() ? 0 : 1;
    case 'p':
        return print_pid();
    case 's':
        return start_stop(optarg);
    default:
        std::fputs(MSG_USAGE, stderr);
        std::fputs(MSG_USAGE_MODE, stderr);
        return 1;
    }
}
