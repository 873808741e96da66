// The edit transaction: the temporary file beside the edited one, and the
// commit that puts it in the edited file's place.
#include "edit_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
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

FILE *mktemp_file(const char *file, char **tmpfile)
{
    if (file == nullptr || tmpfile == nullptr)
        return nullptr;
    const size_t len = std::strlen(file);
    c_str_ptr name(static_cast<char *>(std::malloc(len + 5)));
    *tmpfile = nullptr;
    if (!name)
        return nullptr;
    std::snprintf(name.get(), len + 5, "%s.tmp", file);
    const int fd = open(name.get(), O_WRONLY | O_CREAT | O_TRUNC | O_EXCL, 0600);
    if (fd == -1)
        return nullptr;
    FILE *fp = fdopen(fd, "w");
    if (fp == nullptr) {
        const int err = errno;
        unlink(name.get());
        close(fd);
        errno = err;
        return nullptr;
    }
    *tmpfile = name.release();
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
    ef->fp = std::fopen(fname, "r");
    if (ef->fp == nullptr || !permissions_ok(ef->fp, fname))
        return nullptr;
    const size_t fname_len = std::strlen(fname);
    ef->fname = static_cast<char *>(std::malloc(fname_len + 1));
    if (ef->fname == nullptr)
        return nullptr;
    std::memcpy(ef->fname, fname, fname_len + 1);
    ef->fp_tmp = mktemp_file(fname, &ef->fname_tmp);
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
    std::free(ef->fname_tmp);
    std::free(ef->ahead.buf);
    std::free(ef);
    errno = err;
}

void revert_file(edit_file *ef)
{
    (void)ef;
}
