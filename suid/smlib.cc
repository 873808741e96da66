// Start-up checks and table line requests.
#include "smlib.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "edit_file.h"

int is_sm_installed()
{
    struct stat st;
    // Both are looked at, whatever the first one gave.
    const bool root_ok = stat(SENDMAIL_ROOT, &st) >= 0;
    const bool conf_ok = stat(SENDMAIL_CONF, &st) >= 0;
    return root_ok && conf_ok ? 1 : 0;
}

int do_suid()
{
    struct stat st;
    if (stat(ZUN_BIN_PATH, &st) < 0)
        return 0;
    // Only the owner of the product's main program may use the system;
    // root is not excepted.
    if (getuid() != st.st_uid)
        return 0;
    if (setuid(geteuid()) != 0)
        return 0;
    if (getuid() == 0 && setgid(getegid()) != 0)
        return 0;
    umask(022);
    return 1;
}

void secure_stdio()
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free descriptor is the one that was closed.
        if (open("/dev/null", O_RDWR) != fd)
            std::abort();
    }
    signal(SIGXFSZ, SIG_IGN);
}

int start_up(const char *suid_msg, int no_sendmail_status, int suid_status, int *status)
{
    secure_stdio();
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
    return 1;
}
