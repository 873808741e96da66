// The edit transaction: the temporary file beside the edited one, and the
// commit that puts it in the edited file's place.
#include "edit_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string.h>

#include "file_attrs.h"

namespace {

struct free_deleter {
    void operator()(void *p) const { std::free(p); }
};
using c_str_ptr = std::unique_ptr<char, free_deleter>;

// The name must still lead to the file that was stat'ed and opened: a
// commit by another transaction in between would otherwise be overwritten.
bool still_same(const edit_file *ef, const struct stat &st)
{
    struct stat opened, now;
    if (fstat(fileno(ef->fp), &opened) == -1 || stat(ef->fname, &now) == -1)
        return false;
    return opened.st_dev == st.st_dev && opened.st_ino == st.st_ino &&
           now.st_dev == opened.st_dev && now.st_ino == opened.st_ino;
}

// The directory that holds fname, opened for its fsync; -1 if it can't be.
int open_dir(const char *fname)
{
    const char *slash = std::strrchr(fname, '/');
    if (slash == nullptr)
        return open(".", O_RDONLY | O_DIRECTORY);
    if (slash == fname)
        return open("/", O_RDONLY | O_DIRECTORY);
    c_str_ptr dir(strndup(fname, static_cast<size_t>(slash - fname)));
    if (!dir)
        return -1;
    return open(dir.get(), O_RDONLY | O_DIRECTORY);
}

// Everything the temporary file needs before it may take the name: its
// content written and checked, the owner, the extended attributes (an ACL
// among them) and the mode set, all of it on disk. The mode comes last, as
// chown and a new ACL may clear the set-id bits.
bool seal_tmp(edit_file *ef)
{
    if (ef->err != 0 || std::ferror(ef->fp_tmp)) {
        errno = ef->err != 0 ? ef->err : EIO;
        return false;
    }
    if (std::fflush(ef->fp_tmp) == EOF)
        return false;
    const int fd = fileno(ef->fp_tmp);
    if (!copy_attrs(fileno(ef->fp), fd, static_cast<uid_t>(ef->uid), ef->gid, ef->mode))
        return false;
    if (fsync(fd) == -1)
        return false;
    FILE *tmp = ef->fp_tmp;
    ef->fp_tmp = nullptr;
    return std::fclose(tmp) == 0;
}

}  // namespace

// The name of a file made without one, for linkat.
#ifdef O_TMPFILE
static std::string fd_path(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

// An unnamed file in name's directory, locked, then linked to name and
// opened again by it, so that tools show its name. -1 with errno ENOTSUP
// where the system cannot make one; the caller then takes the older way.
static int create_linked(const char *name, mode_t mode, int *lock)
{
    const char *slash = std::strrchr(name, '/');
    const std::string dir = slash == nullptr ? "." : slash == name ? "/" : std::string(name, slash);
    const int anon = open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode & 07777);
    if (anon < 0) {
        if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)
            errno = ENOTSUP;
        return -1;
    }
    int fd = -1;
    if (flock(anon, LOCK_EX) == 0) {
        if (linkat(AT_FDCWD, fd_path(anon).c_str(), AT_FDCWD, name, AT_SYMLINK_FOLLOW) == 0) {
            fd = open(name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            struct stat linked, opened;
            if (fd < 0) {
                const int err = errno;
                unlink(name);
                errno = err;
            } else if (fstat(anon, &linked) != 0 || fstat(fd, &opened) != 0 ||
                       linked.st_ino != opened.st_ino || linked.st_dev != opened.st_dev) {
                // Not ours: another file took the name in between.
                close(fd);
                fd = -1;
                errno = EAGAIN;
            }
        } else if (errno == ENOENT && access(fd_path(anon).c_str(), F_OK) != 0) {
            errno = ENOTSUP;  // no /proc
        }
    }
    if (fd < 0) {
        const int err = errno;
        close(anon);
        errno = err;
        return -1;
    }
    *lock = anon;
    return fd;
}
#endif

int create_locked(const char *name, mode_t mode, int *lock)
{
    *lock = -1;
#ifdef O_TMPFILE
    const int fd = create_linked(name, mode, lock);
    if (fd >= 0 || errno != ENOTSUP)
        return fd;
#endif
    // A run that looks between these two calls takes the file for a leftover.
    const int made = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_EXCL | O_CLOEXEC, mode & 07777);
    if (made < 0)
        return -1;
    *lock = flock(made, LOCK_EX) == 0 ? dup(made) : -1;
    if (*lock < 0) {
        const int err = errno;
        unlink(name);
        close(made);
        errno = err;
        return -1;
    }
    return made;
}

int tmp_in_use(const char *name)
{
    const int fd = open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? 1 : 0;
    struct stat st;
    const bool held = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                      flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held ? 1 : 0;
}

// mktemp_file, with the lock kept in *lock.
static FILE *mktemp_locked(const char *file, char **tmpfile, int *lock)
{
    if (file == nullptr || tmpfile == nullptr)
        return nullptr;
    const size_t len = std::strlen(file);
    c_str_ptr name(static_cast<char *>(std::malloc(len + 5)));
    *tmpfile = nullptr;
    if (!name)
        return nullptr;
    std::snprintf(name.get(), len + 5, "%s.tmp", file);
    const int fd = create_locked(name.get(), 0600, lock);
    if (fd == -1)
        return nullptr;
    FILE *fp = fdopen(fd, "w");
    if (fp == nullptr) {
        const int err = errno;
        unlink(name.get());
        close(fd);
        close(*lock);
        *lock = -1;
        errno = err;
        return nullptr;
    }
    *tmpfile = name.release();
    return fp;
}

FILE *mktemp_file(const char *file, char **tmpfile)
{
    int lock = -1;
    FILE *fp = mktemp_locked(file, tmpfile, &lock);
    if (lock >= 0)
        close(lock);
    return fp;
}

edit_file *open_file(const char *fname)
{
    if (fname == nullptr)
        return nullptr;
    struct stat st;
    if (stat(fname, &st) == -1)
        return nullptr;
    // Not even opened before its path is known to be safe: the name could
    // lead to a device or a FIFO of the caller's.
    if (!trusted_path(fname))
        return nullptr;
    edit_ptr ef(static_cast<edit_file *>(std::calloc(1, sizeof(edit_file))));
    if (!ef)
        return nullptr;
    ef->tmp_lock = -1;
    ef->fp = std::fopen(fname, "r");
    if (ef->fp == nullptr || !permissions_ok(ef->fp, fname))
        return nullptr;
    const size_t fname_len = std::strlen(fname);
    ef->fname = static_cast<char *>(std::malloc(fname_len + 1));
    if (ef->fname == nullptr)
        return nullptr;
    std::memcpy(ef->fname, fname, fname_len + 1);
    ef->fp_tmp = mktemp_locked(fname, &ef->fname_tmp, &ef->tmp_lock);
    if (ef->fp_tmp == nullptr)
        return nullptr;
    ef->tmp_owned = 1;
    if (!still_same(ef.get(), st)) {
        errno = EAGAIN;
        return nullptr;
    }
    ef->uid = static_cast<pid_t>(st.st_uid);
    ef->gid = st.st_gid;
    ef->mode = st.st_mode;
    return ef.release();
}

int commit_file(edit_file *ef)
{
    if (ef == nullptr)
        return 0;
    if (!ef->is_dirty) {
        if (ef->tmp_owned) {
            unlink(ef->fname_tmp);
            ef->tmp_owned = 0;
        }
        return 0;
    }
    if (ef->fp_tmp == nullptr || !ef->tmp_owned) {
        errno = EBADF;
        return 0;
    }
    if (!seal_tmp(ef))
        return 0;
    const int dir = open_dir(ef->fname);
    if (std::rename(ef->fname_tmp, ef->fname) == -1) {
        const int err = errno;
        if (dir != -1)
            close(dir);
        errno = err;
        return 0;
    }
    ef->tmp_owned = 0;
    close(ef->tmp_lock);
    ef->tmp_lock = -1;
    if (dir != -1) {
        // The new content is in place; a failed directory sync can't undo that.
        (void)fsync(dir);
        close(dir);
    }
    std::fclose(ef->fp);
    ef->fp = nullptr;
    return 1;
}

void free_file(edit_file *ef)
{
    if (ef == nullptr)
        return;
    const int err = errno;
    if (ef->fp != nullptr)
        std::fclose(ef->fp);
    if (ef->fp_tmp != nullptr)
        std::fclose(ef->fp_tmp);
    std::free(ef->fname);
    // Once renamed (or removed) the name may already be another
    // transaction's temporary file.
    if (ef->fname_tmp != nullptr && ef->tmp_owned)
        unlink(ef->fname_tmp);
    if (ef->tmp_lock >= 0)
        close(ef->tmp_lock);
    std::free(ef->fname_tmp);
    std::free(ef->ahead.buf);
    std::free(ef);
    errno = err;
}

void revert_file(edit_file *ef)
{
    (void)ef;
}
