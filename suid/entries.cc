// The entries of the access and mailertable sources, as makemap reads
// them: one per line, its key the first field. A request finds the entry
// it edits by that key, and writes nothing makemap would refuse: a line
// without a value, one that begins with a blank, one that is too long, or
// a second line for a key.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "smlib.h"

namespace {

// makemap's own limit: a longer line breaks its map.
constexpr size_t MAX_ENTRY = 1022;

constexpr char MSG_EXISTS[] = "An entry for %.*s already exists.\n";
constexpr char MSG_NO_VALUE[] = "The entry for %.*s has no value.\n";
constexpr char MSG_BLANK[] = "The entry for %.*s begins with a blank.\n";
constexpr char MSG_ONLY_BLANKS[] = "An entry holds only blanks.\n";
constexpr char MSG_TOO_LONG[] = "The entry for %.*s is longer than 1022 characters.\n";
constexpr char MSG_COMMENT_TOO_LONG[] = "A comment is longer than 1022 characters.\n";
constexpr char MSG_DOMAIN_BLANK[] = "A domain name must not hold a blank or a newline.\n";
constexpr char MSG_HOST_BLANK[] = "A host name must not hold a blank or a newline.\n";
constexpr char MSG_DOMAIN_COMMENT[] = "A domain name must not begin with #.\n";
constexpr char MSG_NO_ENTRY[] = "There is no entry for %.*s.\n";


// The first field: the bytes up to the first blank or the end of the line.
std::string_view first_field(std::string_view line)
{
    size_t end = 0;
    while (end < line.size() && !key_blank(line[end]))
        end++;
    return line.substr(0, end);
}

std::string_view skip_blanks(std::string_view text)
{
    while (!text.empty() && key_blank(text.front()))
        text.remove_prefix(1);
    return text;
}


void say(const char *format, std::string_view key)
{
    std::fprintf(stderr, format, static_cast<int>(key.size()), key.data());
}

// The lines of text, without their newlines.
std::vector<std::string_view> lines_of(std::string_view text)
{
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        lines.push_back(text.substr(0, nl));
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    }
    return lines;
}

// The one of keys that equals key, or null.
const std::string_view *find_key(const std::vector<std::string_view> &keys, std::string_view key)
{
    const auto k = std::find_if(keys.begin(), keys.end(),
                                [key](std::string_view other) { return same_key(key, other); });
    return k == keys.end() ? nullptr : &*k;
}

// Whether makemap accepts line (without its newline) and its key is not
// one of keys, to which it is added; otherwise a message that names the
// fault.
bool entry_ok(std::string_view line, std::vector<std::string_view> &keys)
{
    if (!line.empty() && line.front() == '#' && line.size() > MAX_ENTRY) {
        std::fputs(MSG_COMMENT_TOO_LONG, stderr);
        return false;
    }
    if (line.empty() || line.front() == '#')
        return true;  // no entry: an empty line or a comment
    const std::string_view rest = skip_blanks(line);
    const std::string_view key = first_field(line);
    if (rest.empty()) {
        std::fputs(MSG_ONLY_BLANKS, stderr);
        return false;
    }
    if (key.empty()) {
        say(MSG_BLANK, first_field(rest));
        return false;
    }
    if (skip_blanks(line.substr(key.size())).empty()) {
        say(MSG_NO_VALUE, key);
        return false;
    }
    if (line.size() > MAX_ENTRY) {
        say(MSG_TOO_LONG, key);
        return false;
    }
    if (find_key(keys, key) != nullptr) {
        say(MSG_EXISTS, key);
        return false;
    }
    keys.push_back(key);
    return true;
}

}  // namespace

std::string_view line_key(std::string_view line)
{
    if (line.empty() || line.front() == '#' || line.front() == '\n')
        return {};
    return first_field(line.substr(0, line.find('\n')));
}

bool same_key(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++) {
        if (ascii_lower(a[i]) != ascii_lower(b[i]))
            return false;
    }
    return true;
}

int add_edit_entry(const char *file, const char *line_new, const char *key_old, char mode)
{
    // What else there is to say about other modes, add_edit_line says.
    if (line_new == nullptr || (mode != EM_ADDLINE && mode != EM_EDITLINE) ||
        (mode == EM_EDITLINE && key_old == nullptr))
        return add_edit_line(file, line_new, key_old, mode);
    std::vector<std::string_view> keys;
    const std::vector<std::string_view> lines = lines_of(line_new);
    if (!std::all_of(lines.begin(), lines.end(),
                     [&keys](std::string_view line) { return entry_ok(line, keys); }))
        return 0;
    // Only the line replaced gives up its key.
    key_edit edit(mode == EM_EDITLINE ? key_old : nullptr, keys);
    bool refused = false;
    if (add_edit_keyed(file, line_new, mode, edit, &refused))
        return 1;
    if (refused)
        say(MSG_EXISTS, edit.taken);
    return 0;
}

int add_edit_access_host(const char *host_new, const char *host_old, char mode)
{
    if (host_old == nullptr)
        return add_edit_entry(SENDMAIL_PERMITSET, host_new, nullptr, mode);
    // The old entry may be given whole: its key names it.
    const std::string key(line_key(host_old));
    return add_edit_entry(SENDMAIL_PERMITSET, host_new, key.c_str(), mode);
}

// A mailertable line is one field, a TAB and another: a blank or a newline
// in a name would make other fields or other lines of it.
static bool one_field(const char *name)
{
    if (name == nullptr)
        return true;
    const std::string_view text(name);
    return std::none_of(text.begin(), text.end(), [](char c) { return key_blank(c) || c == '\n'; });
}

int add_edit_relay_host(const char *new_domain, const char *new_host, const char *old_domain,
                        char mode)
{
    if (new_domain == nullptr || new_host == nullptr)
        return 0;
    const char *why = nullptr;
    if (!one_field(new_domain) || !one_field(old_domain))
        why = MSG_DOMAIN_BLANK;
    else if (!one_field(new_host))
        why = MSG_HOST_BLANK;
    else if (new_domain[0] == '#')
        why = MSG_DOMAIN_COMMENT;
    if (why != nullptr) {
        std::fputs(why, stderr);
        return 0;
    }
    const size_t size = std::strlen(new_domain) + std::strlen(new_host) + 3;
    const std::unique_ptr<char, free_deleter> line(static_cast<char *>(std::malloc(size + 1)));
    if (!line) {
        std::perror("Failed to allocate write buffer when editing domain");
        return 0;
    }
    std::snprintf(line.get(), size, "%s\t%s\n", new_domain, new_host);
    return add_edit_entry(SENDMAIL_ROUTESET, line.get(), old_domain, mode);
}

int remove_entry(const char *file, const char *key)
{
    if (file == nullptr || key == nullptr)
        return 0;
    const std::string_view wanted(key);
    key_edit edit(key, {});
    bool missing = false;
    if (add_edit_keyed(file, "", EM_RMLINE, edit, &missing))
        return 1;
    if (missing)
        say(MSG_NO_ENTRY, wanted);
    return 0;
}

int remove_at_entry(const char *host_old)
{
    if (host_old == nullptr)
        return 0;
    // A text without a key names no entry; the message names the text.
    const std::string_view text(host_old);
    const std::string_view key = line_key(text);
    return remove_entry(SENDMAIL_PERMITSET,
                        std::string(key.empty() ? text.substr(0, text.find('\n')) : key).c_str());
}

int remove_mt_entry(const char *old_domain)
{
    if (!one_field(old_domain)) {
        std::fputs(MSG_DOMAIN_BLANK, stderr);
        return 0;
    }
    return remove_entry(SENDMAIL_ROUTESET, old_domain);
}
