// Switching the mail server's role: the chosen template is copied beside
// sendmail.mc and renamed into its place, the previous file kept as the one
// backup. sendmail.mc is never moved away: without it every program refuses
// to run until someone puts it back.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "edit_file.h"
#include "smlib.h"

namespace {

constexpr char SENDMAIL_CONF_DIR[] = ZUN_ROOT "sendmail/etc/mail";
constexpr size_t TMPFILE_SIZE = 1024;
constexpr int LINE_READ = 500;

static_assert(sizeof(SENDMAIL_GATEWAY_CONF) + 8 <= TMPFILE_SIZE &&
                  sizeof(SENDMAIL_HUB_CONF) + 8 <= TMPFILE_SIZE,
              "the temporary names must fit their buffers");

constexpr char MSG_STAT[] = "Failed to stat the sendmail config file.";
constexpr char MSG_OPEN_TEMPLATE[] = "Failed to open the new sendmail config file.";
constexpr char MSG_READ_TEMPLATE[] = "Failed to read the new sendmail config file.";
constexpr char MSG_ALLOC[] = "Failed to allocate memory for line buffer.";
constexpr char MSG_TEMPFILE[] = "Failed to open the tempfile.";
constexpr char MSG_WRITE[] = "Failed to write the new sendmail config file.";
constexpr char MSG_BACKUP[] = "Failed to backup the sendmail config file.";
constexpr char MSG_INSTALL[] = "Failed to install the new sendmail config file.";
constexpr char MSG_SWITCHING[] = "A switch to %s is in progress; try again.\n";
constexpr char MSG_SWITCH_LEFT[] =
    "%s.tmp was left by a switch that did not finish; it is to be removed once no switch runs.\n";

using char_buf = std::unique_ptr<char[], free_deleter>;

// The temporary name is removed on every way out, unless it was installed.
// A failure is reported only once it is gone: a message to a standard error
// that nobody reads blocks, and must not do so while the name blocks every
// switch to this template.
// Its lock, held until the name is gone or installed, tells another switch
// that finds the name taken that this one is running.
class temp_name {
public:
    explicit temp_name(const char *name) : name_(name) {}
    ~temp_name()
    {
        drop();
        unlock();
    }
    temp_name(const temp_name &) = delete;
    temp_name &operator=(const temp_name &) = delete;
    void own(int lock)
    {
        owned_ = true;
        lock_ = lock;
    }
    void release() { owned_ = false; }
    void drop()
    {
        if (!owned_)
            return;
        const int err = errno;
        unlink(name_);
        owned_ = false;
        unlock();
        errno = err;
    }

private:
    void unlock()
    {
        if (lock_ >= 0)
            close(lock_);
        lock_ = -1;
    }

    const char *name_;
    bool owned_ = false;
    int lock_ = -1;
};

file_ptr create_temp(const char *tmpfile, const char *tmpl, mode_t mode, temp_name &tmp)
{
    int lock = -1;
    const int fd = create_locked(tmpfile, mode & (S_IRWXU | S_IRWXG | S_IRWXO), &lock);
    if (fd < 0) {
        const int err = errno;
        if (err == EEXIST)
            std::fprintf(stderr, tmp_in_use(tmpfile) ? MSG_SWITCHING : MSG_SWITCH_LEFT, tmpl);
        errno = err;
        std::perror(MSG_TEMPFILE);
        return nullptr;
    }
    tmp.own(lock);
    file_ptr fp(fdopen(fd, "w"));
    if (!fp) {
        close(fd);
        tmp.drop();
        std::perror(MSG_TEMPFILE);
    }
    return fp;
}

// The copy must be whole and on disk, with the attributes of the file it
// replaces, before it may take that file's place: afterwards a failed write
// could only leave a truncated configuration. Null when done, else the
// message for the failure.
const char *copy_template(FILE *fp_ex, file_ptr &fp_new, int conf_fd, mode_t mode,
                          char *line_buf)
{
    while (std::fgets(line_buf, LINE_READ, fp_ex) != nullptr) {
        const size_t len = std::strlen(line_buf);
        if (std::fwrite(line_buf, 1, len, fp_new.get()) != len)
            return MSG_WRITE;
    }
    if (std::ferror(fp_ex))
        return MSG_READ_TEMPLATE;
    const int fd = fileno(fp_new.get());
    // An ACL sets the group bits anew; the mode, less group and other
    // write, comes after it.
    if (std::fflush(fp_new.get()) != 0 || !copy_xattrs(conf_fd, fd) || fchmod(fd, mode) != 0 ||
        fsync(fd) != 0 || std::fclose(fp_new.release()) != 0)
        return MSG_WRITE;
    return nullptr;
}

// Once the new file is in place the switch has happened; a directory that
// cannot be synced does not undo it.
void sync_conf_dir()
{
    const int fd = open(SENDMAIL_CONF_DIR, O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return;
    (void)fsync(fd);
    close(fd);
}

// The backup is a second name for the current sendmail.mc, made beside it
// and moved over the old backup; then one rename puts the copy in place.
// bak_tmp belongs to switches to this template, which the exclusive
// temporary copy holds apart: what stands there is a killed switch's.
// Null when done, else the message for the failure.
const char *install_copy(const char *tmpfile, const char *bak_tmp)
{
    (void)unlink(bak_tmp);
    if (linkat(AT_FDCWD, SENDMAIL_CONF, AT_FDCWD, bak_tmp, 0) != 0 ||
        std::rename(bak_tmp, SENDMAIL_CONF_BK) != 0) {
        const int err = errno;
        (void)unlink(bak_tmp);
        errno = err;
        return MSG_BACKUP;
    }
    if (std::rename(tmpfile, SENDMAIL_CONF) != 0)
        return MSG_INSTALL;
    sync_conf_dir();
    return nullptr;
}

// sendmail.mc as it stands: its mode for the copy and the descriptor its
// attributes are read from.
int open_conf(struct stat *st)
{
    const int fd = open(SENDMAIL_CONF, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || fstat(fd, st) == 0)
        return fd;
    const int err = errno;
    close(fd);
    errno = err;
    return -1;
}

class fd_owner {
public:
    explicit fd_owner(int fd) : fd_(fd) {}
    ~fd_owner()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    fd_owner(const fd_owner &) = delete;
    fd_owner &operator=(const fd_owner &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

int make_gateway()
{
    return make_newsm_conf(SM_CONFMODE_GATEWAY);
}

int make_hub()
{
    return make_newsm_conf(SM_CONFMODE_HUB);
}

int make_newsm_conf(int mode)
{
    const char *p = mode == SM_CONFMODE_HUB ? SENDMAIL_HUB_CONF : SENDMAIL_GATEWAY_CONF;
    // sendmail.mc lies beside the template: once the template's path is
    // safe, nobody but root decides what either name leads to.
    if (!trusted_path(p))
        return 0;
    struct stat st;
    const fd_owner conf(open_conf(&st));
    if (conf.get() < 0) {
        std::perror(MSG_STAT);
        return 0;
    }
    // A link at the template's name could make root copy any file into a
    // sendmail.mc that others may read.
    file_ptr fp_ex(open_regular(p));
    if (!fp_ex) {
        std::perror(MSG_OPEN_TEMPLATE);
        return 0;
    }
    if (!permissions_ok(fp_ex.get(), p))
        return 0;
    char_buf line_buf(static_cast<char *>(std::malloc(LINE_READ + 1)));
    if (!line_buf) {
        std::perror(MSG_ALLOC);
        return 0;
    }
    char tmpfile[TMPFILE_SIZE], bak_tmp[TMPFILE_SIZE];
    std::snprintf(tmpfile, sizeof tmpfile, "%s.tmp", p);
    std::snprintf(bak_tmp, sizeof bak_tmp, "%s.tmp.bak", p);
    const mode_t new_mode = st.st_mode & (S_IRWXU | S_IRWXG | S_IRWXO) & ~static_cast<mode_t>(022);
    temp_name tmp(tmpfile);
    file_ptr fp_new = create_temp(tmpfile, p, st.st_mode, tmp);
    if (!fp_new || !permissions_ok(fp_new.get(), tmpfile))
        return 0;
    const char *failure = copy_template(fp_ex.get(), fp_new, conf.get(), new_mode, line_buf.get());
    if (failure == nullptr)
        failure = install_copy(tmpfile, bak_tmp);
    if (failure != nullptr) {
        fp_new.reset();
        tmp.drop();
        std::perror(failure);
        return 0;
    }
    tmp.release();
    return 1;
}
