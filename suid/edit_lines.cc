// The line operations of the editor: each makes one forward pass over the
// file's physical lines, numbered by pieces of MAX_LINE - 1 bytes, keeping,
// dropping or replacing them on the way into the temporary file, and reads
// no further than its decisions need.
#include "edit_file.h"

#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string.h>
#include <string_view>

#include "line_keys.h"
#include "line_pass.h"
#include "span_copy.h"

using namespace spans;

namespace {

bool usable(const edit_file *ef) { return ef->fp != nullptr && ef->fp_tmp != nullptr; }

// The rest of the file needs no line of it: it goes whole.
bool copy_rest_of(edit_file *ef)
{
    return usable(ef) && copy_rest(ef, read_pos(ef));
}

// Whether a line holds a text. One search runs over all the bytes read
// after the line's start and remembers where the text occurs next, which
// spares a search for each line before it.
class finder {
public:
    finder(const char *text, const pass &p) : text_(text), len_(std::strlen(text)), p_(p) {}
    bool in(const char *line, size_t len)
    {
        if (moves_ != p_.moves() || hit_ < line) {
            moves_ = p_.moves();
            const void *hit = memmem(line, static_cast<size_t>(p_.read_end() - line), text_, len_);
            hit_ = hit == nullptr ? p_.read_end() : static_cast<const char *>(hit);
        }
        return hit_ + len_ <= line + len;
    }

private:
    const char *text_;
    size_t len_;
    const pass &p_;
    const char *hit_ = nullptr;
    unsigned long moves_ = static_cast<unsigned long>(-1);
};

// Walks until a line has one of keys, which is then index; NONE when none
// has. Nothing is read when no key is looked for.
bool walk_keys(edit_file *ef, const key_finder &keys, size_t &index)
{
    index = key_finder::NONE;
    if (keys.empty())
        return copy_rest_of(ef);
    pass p(ef);
    return p.walk([&keys, &index](const char *line, size_t len, unsigned long, unsigned long) {
        index = keys.find(line, len);
        return index == key_finder::NONE ? step::keep : step::stop;
    }) >= 0;
}

}  // namespace

int copy_until(edit_file *ef, unsigned long line_no, const char *match)
{
    if (ef == nullptr || !usable(ef))
        return -1;
    pass p(ef);
    if (match == nullptr) {
        return p.walk([line_no](const char *, size_t, unsigned long first, unsigned long last) {
            return first <= line_no && line_no <= last ? step::stop : step::keep;
        });
    }
    finder f(match, p);
    return p.walk([line_no, &f](const char *line, size_t len, unsigned long first,
                                unsigned long last) {
        return (first <= line_no && line_no <= last) || f.in(line, len) ? step::stop : step::keep;
    });
}

int add_line(edit_file *ef, const char *line)
{
    if (ef == nullptr || line == nullptr)
        return 0;
    ef->is_dirty = 1;
    if (!copy_rest_of(ef))
        return 0;
    return put_text(ef, line) ? 1 : 0;
}

int modify_line(edit_file *ef, unsigned long line_no, const char *match, const char *line)
{
    if (ef == nullptr || line == nullptr || ef->is_dirty)
        return 0;
    ef->is_dirty = 1;
    if (copy_until(ef, line_no, match) <= 0)
        return 0;
    if (!put_text(ef, line))
        return 0;
    return copy_rest_of(ef) ? 1 : 0;
}

int modify_chosen(edit_file *ef, const char *line, const line_chooser &choose)
{
    if (ef == nullptr || line == nullptr || ef->is_dirty)
        return 0;
    ef->is_dirty = 1;
    if (!usable(ef))
        return 0;
    bool replaced = false, refused = false;
    const auto decide = [&](const char *text, size_t len, unsigned long, unsigned long) {
        switch (choose(std::string_view(text, len))) {
        case line_choice::refuse:
            refused = true;
            return step::stop;
        case line_choice::replace:
            if (replaced)
                return step::keep;
            replaced = true;
            return step::stop;
        default:
            return step::keep;
        }
    };
    const auto walked = [&] { return pass(ef).walk(decide) >= 0 && !refused; };
    // Up to the line replaced, or to the end; then the rest, still shown.
    return walked() && put_text(ef, line) && (!replaced || walked()) ? 1 : 0;
}

int modify_keyed(edit_file *ef, const char *line, key_edit &edit)
{
    edit.found = false;
    edit.taken = {};
    if (ef == nullptr || line == nullptr || ef->is_dirty)
        return 0;
    ef->is_dirty = 1;
    if (!usable(ef))
        return 0;
    // The old key first: a line that has it gives way even when the new
    // text has its key too.
    std::vector<std::string_view> wanted{edit.old != nullptr ? edit.old : ""};
    wanted.insert(wanted.end(), edit.keys.begin(), edit.keys.end());
    key_finder keys(wanted);
    size_t hit;
    if (!walk_keys(ef, keys, hit))
        return 0;
    if (hit == 0) {
        edit.found = true;
        keys.forget(0);
        if (!put_text(ef, line) || !walk_keys(ef, keys, hit))
            return 0;
    }
    if (hit != key_finder::NONE && hit != 0) {
        edit.taken = edit.keys[hit - 1];
        return 0;
    }
    if (edit.found)
        return 1;
    // As with a match text, an edit needs a line to work on.
    if (edit.old != nullptr && read_pos(ef) == 0) {
        errno = 0;
        return 0;
    }
    return put_text(ef, line) ? 1 : 0;
}

int rm_line(edit_file *ef, unsigned long line_no, const char *match)
{
    if (ef == nullptr || ef->is_dirty)
        return 0;
    ef->is_dirty = 1;
    if (copy_until(ef, line_no, match) < 0)
        return 0;
    return copy_rest_of(ef) ? 1 : 0;
}

// Reads up to the first line past the last number listed (at least one line
// of a file that is not empty) and copies the rest unread.
int rm_lines(edit_file *ef, const unsigned int *lines, unsigned int count)
{
    if (ef == nullptr || ef->is_dirty)
        return 0;
    ef->is_dirty = 1;
    if (!usable(ef))
        return -1;
    if (lines == nullptr)
        count = 0;
    const size_t n = count;
    std::unique_ptr<unsigned int[]> sorted(new (std::nothrow) unsigned int[n + 1]);
    if (!sorted) {
        errno = ENOMEM;
        failed(ef);
        return -1;
    }
    std::copy(lines, lines + n, sorted.get());
    std::sort(sorted.get(), sorted.get() + n);
    const unsigned int *want = sorted.get();
    const unsigned int *const last_want = want + n;

    pass p(ef);
    return p.walk([&want, last_want](const char *, size_t, unsigned long first, unsigned long last) {
        while (want != last_want && *want < first)
            ++want;
        if (want == last_want)
            return step::rest;
        return *want <= last ? step::drop : step::keep;
    });
}

int in_lines(unsigned int test, const unsigned int *lines, unsigned int count)
{
    if (lines == nullptr)
        return 0;
    for (unsigned int i = 0; i < count; ++i)
        if (lines[i] == test)
            return 1;
    return 0;
}
