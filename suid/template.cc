// Switching the mail server's role: the chosen template is copied beside
// sendmail.mc and renamed into its place, the previous file kept as the one
// backup.
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

static_assert(sizeof(SENDMAIL_GATEWAY_CONF) + 4 <= TMPFILE_SIZE &&
                  sizeof(SENDMAIL_HUB_CONF) + 4 <= TMPFILE_SIZE,
              "the temporary name must fit its buffer");

constexpr char MSG_STAT[] = "Failed to stat the sendmail config file.";
constexpr char MSG_OPEN_TEMPLATE[] = "Failed to open the new sendmail config file.";
constexpr char MSG_READ_TEMPLATE[] = "Failed to read the new sendmail config file.";
constexpr char MSG_ALLOC[] = "Failed to allocate memory for line buffer.";
constexpr char MSG_TEMPFILE[] = "Failed to open the tempfile.";
constexpr char MSG_WRITE[] = "Failed to write the new sendmail config file.";
constexpr char MSG_BACKUP[] = "Failed to backup the sendmail config file.";
constexpr char MSG_INSTALL[] = "Failed to install the new sendmail config file.";
constexpr char MSG_DOUBLE[] = "Double failure. Could not restore the backup file";

struct file_closer {
    void operator()(FILE *fp) const { std::fclose(fp); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;
using char_buf = std::unique_ptr<char[], free_deleter>;

// The temporary name is removed on every way out, unless it was installed.
class temp_name {
public:
    explicit temp_name(const char *name) : name_(name) {}
    ~temp_name()
    {
        if (owned_)
            unlink(name_);
    }
    temp_name(const temp_name &) = delete;
    temp_name &operator=(const temp_name &) = delete;
    void own() { owned_ = true; }
    void release() { owned_ = false; }

private:
    const char *name_;
    bool owned_ = false;
};

file_ptr create_temp(const char *tmpfile, mode_t mode, temp_name &tmp)
{
    const int fd = open(tmpfile, O_WRONLY | O_CREAT | O_TRUNC | O_EXCL,
                        mode & (S_IRWXU | S_IRWXG | S_IRWXO));
    if (fd < 0) {
        std::perror(MSG_TEMPFILE);
        return nullptr;
    }
    tmp.own();
    file_ptr fp(fdopen(fd, "w"));
    if (!fp) {
        std::perror(MSG_TEMPFILE);
        close(fd);
    }
    return fp;
}

// The copy must be whole and on disk before sendmail.mc is moved aside:
// afterwards a failed write could only leave a truncated configuration.
int copy_template(FILE *fp_ex, file_ptr &fp_new, char *line_buf)
{
    while (std::fgets(line_buf, LINE_READ, fp_ex) != nullptr) {
        const size_t len = std::strlen(line_buf);
        if (std::fwrite(line_buf, 1, len, fp_new.get()) != len) {
            std::perror(MSG_WRITE);
            return 0;
        }
    }
    if (std::ferror(fp_ex)) {
        std::perror(MSG_READ_TEMPLATE);
        return 0;
    }
    if (std::fflush(fp_new.get()) != 0 || fsync(fileno(fp_new.get())) != 0 ||
        std::fclose(fp_new.release()) != 0) {
        std::perror(MSG_WRITE);
        return 0;
    }
    return 1;
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

int install_copy(const char *tmpfile)
{
    if (std::rename(SENDMAIL_CONF, SENDMAIL_CONF_BK) != 0) {
        std::perror(MSG_BACKUP);
        return 0;
    }
    if (std::rename(tmpfile, SENDMAIL_CONF) != 0) {
        const int install_errno = errno;
        if (std::rename(SENDMAIL_CONF_BK, SENDMAIL_CONF) != 0) {
            std::perror(MSG_DOUBLE);
        } else {
            errno = install_errno;
            std::perror(MSG_INSTALL);
        }
        return 0;
    }
    sync_conf_dir();
    return 1;
}

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
    struct stat st;
    if (stat(SENDMAIL_CONF, &st) < 0) {
        std::perror(MSG_STAT);
        return 0;
    }
    file_ptr fp_ex(std::fopen(p, "r"));
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
    char tmpfile[TMPFILE_SIZE];
    std::snprintf(tmpfile, sizeof tmpfile, "%s.tmp", p);
    temp_name tmp(tmpfile);
    file_ptr fp_new = create_temp(tmpfile, st.st_mode, tmp);
    if (!fp_new || !permissions_ok(fp_new.get(), tmpfile))
        return 0;
    if (!copy_template(fp_ex.get(), fp_new, line_buf.get()) || !install_copy(tmpfile))
        return 0;
    tmp.release();
    return 1;
}
