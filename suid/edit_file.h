// edit_file: the transactional line editor. A file is streamed into a
// temporary file beside it (its name plus ".tmp"), changed on the way, and
// the temporary file then takes its place by rename, or is thrown away.
#ifndef EDIT_FILE_H
#define EDIT_FILE_H

#include <sys/types.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

// Lines are read in pieces of at most MAX_LINE - 1 bytes and numbered by
// those pieces.
inline constexpr unsigned int MAX_LINE = 500;

// The record of one edit transaction. open_file creates it, free_file
// releases it, exactly once.
struct edit_file {
    FILE *fp;         // the file being edited, read stream; null once closed
    FILE *fp_tmp;     // the temporary file, write stream; null once closed
    char *fname;      // private copy of the name
    char *fname_tmp;  // fname followed by ".tmp"
    int is_dirty;     // set once a line operation has started
    mode_t mode;      // mode, group and owner of the file when opened
    gid_t gid;
    pid_t uid;
    // Private to the editor.
    int tmp_owned;    // the temporary name is still ours to remove
    int tmp_lock;     // holds the temporary file locked until the name is
                      // released: renamed into place or removed; -1 for none
    int err;          // errno of the first failed read, write or allocation;
                      // the transaction can no longer be committed
    int ends_open;    // the last byte written to fp_tmp is not a newline
    int by_buffers;   // the kernel refused to copy: read and write instead
    int shares;       // the kernel shares blocks between the two files: 1 it
                      // does, -1 it does not, 0 not known yet
    struct {
        char *buf;    // bytes read ahead from fp's file by offset (fp's own
                      // position is not used); buf[beg, end) not yet taken
        size_t cap;
        size_t beg;
        size_t end;
        off_t off;    // the offset in the file of buf[end]
    } ahead;
};

// 1 when the open file behind fp is owned by the effective user and not
// writable by group or others; otherwise 0, after a message naming file,
// with errno EACCES.
int permissions_ok(FILE *fp, const char *file);
// 1 when nobody but root and the effective user can change what file names:
// every directory from / down to it (and down to the target of every
// symbolic link on the way) belongs to one of them and is not writable by
// group or others, unless it is sticky and the entry below it belongs to one
// of them. 0 otherwise, with errno set.
int safe_path(const char *file);
// safe_path, with the message of permissions_ok and errno EACCES when the
// path is not safe. A critical file's path passes it before the file is
// opened, and the open file then passes permissions_ok.
int trusted_path(const char *file);

// Gives the file behind to every extended attribute of the one behind from
// (the ACL among them) and removes those from lacks. 1 when done, also on a
// file system without extended attributes; 0 with errno set otherwise.
int copy_xattrs(int from, int to);

// Creates name exclusively for writing, with the permission bits of mode,
// locked (flock) by the descriptor it stores in *lock: the name appears only
// with the lock already held, and the lock lasts until *lock is closed,
// whatever becomes of the descriptor returned. -1 with errno set on failure;
// EEXIST when something stands at the name.
int create_locked(const char *name, mode_t mode, int *lock);
// Whether a running change holds the file at name that create_locked made:
// 1 when one does, or the name is gone again; 0 when what stands there is
// not locked, left behind by a change that did not finish.
int tmp_in_use(const char *name);

// Edit transaction. open_file gives null with errno EEXIST while another
// transaction (or a leftover) holds the temporary name, and EAGAIN when the
// file was replaced between opening it and taking that name. commit_file
// gives 1 once the new content, on disk with the recorded mode (and owner
// and group when the real user is root), has taken the name; on 0 the file
// at the name is untouched. free_file removes the temporary file only while
// the transaction still holds it.
edit_file *open_file(const char *fname);
FILE *mktemp_file(const char *file, char **tmpfile);
int commit_file(edit_file *ef);
void free_file(edit_file *ef);
void revert_file(edit_file *ef);

// Line operations. Lines are numbered by pieces as MAX_LINE says, but a
// replacement or removal that selects any piece of a text line, by number or
// by a match text found anywhere in it, takes the whole text line. A read or
// write failure gives 0 (copy_until and rm_lines: -1); such a transaction is
// released without commit.
//
// Nothing written ever joins what comes before it: whatever follows bytes
// that end without a newline gets a newline first. That is a new text after
// a last line without one, unless the text begins with a newline, and the
// rest of the file after a replacement text without one. A file's own lines
// are copied byte for byte.
//
// An operation reads the file once, and only as far as its decisions need;
// the bytes it read and keeps are written from where it read them. Those
// it keeps without looking at their lines (the whole file for add_line,
// what follows the last line that a replacement or removal touches) are
// copied by the kernel where it can, and what is kept from the start of
// the file on is shared with the old file where the file system can do
// that. rm_lines therefore reads, and gives the count of, the lines up to
// the first one past the last number listed (all of them when the list
// reaches past the end): at least 1 for a file that is not empty.
int copy_until(edit_file *ef, unsigned long line_no, const char *match);
int add_line(edit_file *ef, const char *line);
int modify_line(edit_file *ef, unsigned long line_no, const char *match, const char *line);
int rm_line(edit_file *ef, unsigned long line_no, const char *match);
int rm_lines(edit_file *ef, const unsigned int *lines, unsigned int count);
int in_lines(unsigned int test, const unsigned int *lines, unsigned int count);

// A line operation that asks its caller: choose is shown every physical
// line in turn (its bytes, newline included) and answers for it. The first
// line answered replace gives way to line, whole; a later replace counts as
// keep. With no line replaced, line is appended. A refuse ends the
// operation: 0, and nothing of it may be committed. 1 when done; 0 also on
// a read or write failure, or when another operation already ran.
enum class line_choice { keep, replace, refuse };
using line_chooser = std::function<line_choice(std::string_view line)>;
int modify_chosen(edit_file *ef, const char *line, const line_chooser &choose);

// A line operation for a table whose lines are entries: a line's key is
// its first field, the bytes before its first blank (space, TAB, VT, FF or
// CR) or its newline; an empty line, a comment (# first) and a line that
// begins with a blank have none. Keys are equal without regard to ASCII
// case; a text that cannot be a key (empty, # first, or holding a blank or
// a newline) is no line's.
//
// The first line whose key is old (null for none) gives way to line, whole;
// with no such line, line is appended. A line that stays and has one of
// keys ends the operation: 0, taken is that key, and nothing of it may be
// committed. The file is read up to the line of old, and on to its end only
// while there are keys to look for. 1 when done, found telling whether a
// line had old; 0 also when old is given and the file has no lines, on a
// read or write failure, or when another operation already ran.
// What makemap takes for white space between a key and its value, and the
// ASCII case fold by which keys compare.
inline bool key_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r';
}
inline char ascii_lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
struct key_edit {
    key_edit(const char *old_key, std::vector<std::string_view> new_keys)
        : old(old_key), keys(std::move(new_keys))
    {
    }
    const char *old;
    std::vector<std::string_view> keys;
    bool found = false;
    std::string_view taken;
};
int modify_keyed(edit_file *ef, const char *line, key_edit &edit);

// Owner of a transaction: free_file runs exactly once, on every path.
struct edit_file_deleter {
    void operator()(edit_file *ef) const { free_file(ef); }
};
using edit_ptr = std::unique_ptr<edit_file, edit_file_deleter>;

#endif
