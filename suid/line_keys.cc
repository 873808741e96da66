// The keys of a table's lines, and the test whether a line has one.
#include "line_keys.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "edit_file.h"

namespace {

bool can_be_key(std::string_view text)
{
    return !text.empty() && text.front() != '#' &&
           std::none_of(text.begin(), text.end(), [](char c) { return c == '\n' || key_blank(c); });
}

// Up to eight bytes as one word, the others zero.
uint64_t word(const char *p, size_t n)
{
    uint64_t w = 0;
    std::memcpy(&w, p, n);
    return w;
}

// The eight bytes of w with A to Z folded to lower case, all at once.
uint64_t fold(uint64_t w)
{
    constexpr uint64_t ones = 0x0101010101010101u, high = ones * 0x80;
    const uint64_t low7 = w & ~high;
    const uint64_t from_a = low7 + ones * (0x80 - 'A');      // high bit: at least 'A'
    const uint64_t past_z = low7 + ones * (0x80 - 'Z' - 1);  // high bit: past 'Z'
    const uint64_t upper = from_a & ~past_z & ~w & high;
    return w | (upper >> 2);
}

}  // namespace

key_finder::key_finder(const std::vector<std::string_view> &keys)
{
    for (size_t i = 0; i < keys.size(); i++) {
        if (!can_be_key(keys[i]))
            continue;
        keys_.push_back({lowered_.size(), keys[i].size(), i, true});
        std::transform(keys[i].begin(), keys[i].end(), std::back_inserter(lowered_), ascii_lower);
    }
    std::stable_sort(keys_.begin(), keys_.end(),
                     [](const key &a, const key &b) { return a.len < b.len; });
    live_ = keys_.size();
}

void key_finder::forget(size_t i)
{
    for (key &k : keys_) {
        if (k.index == i && k.live) {
            k.live = false;
            live_--;
        }
    }
}

bool key_finder::same(const char *line, const key &k) const
{
    const char *want = lowered_.data() + k.at;
    size_t i = 0;
    for (; i + 8 <= k.len; i += 8) {
        if (fold(word(line + i, 8)) != word(want + i, 8))
            return false;
    }
    return i == k.len || fold(word(line + i, k.len - i)) == word(want + i, k.len - i);
}

size_t key_finder::find(const char *line, size_t len) const
{
    // A key holds no blank and no newline, so the line has it when it
    // begins with it and the byte after it ends the first field.
    const size_t end = len > 0 && line[len - 1] == '\n' ? len - 1 : len;
    for (const key &k : keys_) {
        if (k.len > end)
            break;
        if ((k.len == end || key_blank(line[k.len])) && k.live && same(line, k))
            return k.index;
    }
    return NONE;
}
