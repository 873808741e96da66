// line_keys: the keys of the lines of a table whose lines are entries,
// internal to the line editor (edit_file.h says what a key is). A pass
// looks at every line for a handful of keys, so the test is made for the
// lines that have none of them: the byte after each length the keys have
// must end a key before any byte of it is compared.
#ifndef LINE_KEYS_H
#define LINE_KEYS_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class key_finder {
public:
    static constexpr size_t NONE = static_cast<size_t>(-1);

    // Finds keys[i] as i; a text that cannot be a line's key is no line's.
    explicit key_finder(const std::vector<std::string_view> &keys);
    bool empty() const { return live_ == 0; }
    // The index of the key that the line of len bytes (its newline
    // included, if it has one) has, or NONE.
    size_t find(const char *line, size_t len) const;
    // keys[i] is no longer looked for.
    void forget(size_t i);

private:
    struct key {
        size_t at;     // its bytes, folded to lower case, at lowered_[at]
        size_t len;
        size_t index;
        bool live;
    };
    bool same(const char *line, const key &k) const;

    std::string lowered_;
    std::vector<key> keys_;  // by length
    size_t live_ = 0;
};

#endif
