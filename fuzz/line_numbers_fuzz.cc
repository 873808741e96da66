// get_line_numbers against a model built on strtol. The input, split at
// its NUL bytes, is the command line: argv[0], the option word, then the
// numbers. Each word lives in a heap block of its exact size, so reading
// past a word or past argv is caught.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "smlib.h"

namespace {

constexpr size_t MAX_WORDS = 120;
constexpr char MSG_TOO_MANY[] = "Too many lines to delete at once.";
constexpr char MSG_RANGE[] = "Line number is out of range.\n";

std::vector<std::string> split_words(const uint8_t *data, size_t size)
{
    std::vector<std::string> words;
    if (size == 0)
        return words;
    const std::string all(reinterpret_cast<const char *>(data), size);
    size_t start = 0;
    while (words.size() < MAX_WORDS) {
        const size_t nul = all.find('\0', start);
        words.push_back(all.substr(start, nul == std::string::npos ? nul : nul - start));
        if (nul == std::string::npos)
            break;
        start = nul + 1;
    }
    return words;
}

struct outcome {
    unsigned int count;
    bool null;
    std::vector<unsigned int> list;
    std::string message;
};

outcome model(const std::vector<std::string> &words)
{
    outcome o{static_cast<unsigned int>(static_cast<int>(words.size()) - 2), true, {}, ""};
    if (words.size() < 2 || o.count > MAX_BATCH_LINES) {
        o.message = MSG_TOO_MANY;
        return o;
    }
    for (size_t i = 2; i < words.size(); i++) {
        const char *word = words[i].c_str();
        char *end = nullptr;
        errno = 0;
        const long value = std::strtol(word, &end, 10);
        if (end == word || *end != '\0') {
            o.message = "Line number must be a valid integer. " + words[i] +
                        " is not a valid integer.\n";
            o.list.clear();
            return o;
        }
        if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX) {
            o.message = MSG_RANGE;
            o.list.clear();
            return o;
        }
        o.list.push_back(static_cast<unsigned int>(value));
    }
    o.null = false;
    return o;
}

outcome run(const std::vector<std::string> &words)
{
    std::vector<std::unique_ptr<char[]>> blocks;
    std::unique_ptr<char *[]> argv(new char *[words.size() + 1]);
    for (size_t i = 0; i < words.size(); i++) {
        blocks.emplace_back(new char[words[i].size() + 1]);
        std::memcpy(blocks.back().get(), words[i].c_str(), words[i].size() + 1);
        argv[i] = blocks.back().get();
    }
    argv[words.size()] = nullptr;

    outcome o{0xdeadbeefu, true, {}, ""};
    zf::stderr_capture capture;
    const line_list list(get_line_numbers(static_cast<int>(words.size()), argv.get(), &o.count));
    o.message = capture.take();
    o.null = !list;
    if (list && o.count <= MAX_BATCH_LINES)
        o.list.assign(list.get(), list.get() + o.count);
    return o;
}

const std::vector<std::string> *current = nullptr;

std::string describe()
{
    std::string d = std::to_string(current->size()) + " words:";
    for (const std::string &w : *current)
        d += " " + zf::show(w);
    return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::vector<std::string> words = split_words(data, size);
    current = &words;
    zf::describe_case() = describe;
    const outcome want = model(words);
    const outcome got = run(words);
    zf::expect_eq(got.message, want.message, "message on stderr");
    zf::expect_eq(got.count, want.count, "count");
    zf::expect_eq(got.null, want.null, "null result");
    zf::expect_eq(static_cast<long long>(got.list.size()), static_cast<long long>(want.list.size()),
                  "list length");
    for (size_t i = 0; i < want.list.size(); i++) {
        if (got.list[i] != want.list[i])
            zf::fail("entry %zu (word %s): got %u, want %u", i, zf::show(words[i + 2]).c_str(),
                     got.list[i], want.list[i]);
    }
    return 0;
}
