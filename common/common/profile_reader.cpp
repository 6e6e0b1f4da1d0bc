// Profile (INI-style) file reader: looks up the value of a key, or the values
// of a repeated or numbered key, in one section of a profile file, expanding
// one "%(name)" value reference per value.
#include "cm_common.h"

#include <charconv>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

namespace {

// Lines are read in pieces of at most 1023 bytes, so a longer line is handled
// as several lines; the other sizes are the limits of the file format.
constexpr int kLineBuffer = 1024;
constexpr size_t kMaxSection = 63;
constexpr size_t kMaxKey = 62;         // a '=' is appended
constexpr size_t kMaxNumberedKey = 63; // its '#' marks are cut instead
constexpr size_t kMaxValue = 1023;
constexpr size_t kMaxNumberText = 255;
constexpr size_t kListReferenceBuffer = 512;
// A reference chain longer than this is taken for a cycle.
constexpr int kMaxReferenceDepth = 8;

constexpr const char *kStringLookup = "i_GetPrivateProfileString";
constexpr const char *kListLookup = "i_GetPrivateProfileList";
constexpr const char *kDefaultSection = "[DEFAULT]";

// found: a non-empty value; empty: the key's value is empty; failed: no value;
// abort: the reference chain is too deep, and no outer lookup may retry.
enum class Status { found, empty, failed, abort };

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0)
        std::vsnprintf(text.data(), text.size() + 1, fmt, again);
    va_end(again);
    return text;
}

std::string lowered(std::string_view text) {
    std::string copy(text);
    lowercase(copy.data());
    return copy;
}

void cut(std::string &text, size_t limit) {
    if (text.size() > limit)
        text.resize(limit);
}

void remove_trailing_spaces(std::string &value) {
    while (!value.empty() && value.back() == ' ')
        value.pop_back();
}

// Everything after the first '=' of the line.
std::string_view value_of(std::string_view line) { return line.substr(line.find('=') + 1); }

// A number text is valid when %d of its atoi value gives it back: "7", "0"
// and "-3" are, "07", "+7", " 7", "7a", "" and numbers beyond int are not.
bool is_canonical_number(std::string_view text) {
    int number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    return error == std::errc() && end == text.data() + text.size() && std::to_string(number) == text;
}

class ProfileFile {
public:
    explicit ProfileFile(const char *path) : file_(std::fopen(path, "r")) {}
    ~ProfileFile() {
        if (file_)
            std::fclose(file_);
    }
    ProfileFile(const ProfileFile &) = delete;
    ProfileFile &operator=(const ProfileFile &) = delete;

    bool is_open() const { return file_ != nullptr; }
    bool failed() const { return std::ferror(file_) != 0; }

    // The next line that is not skipped as empty or as a comment, without its
    // final newline.
    bool next_line(std::string &line) {
        char buffer[kLineBuffer];
        while (std::fgets(buffer, sizeof buffer, file_)) {
            if (i_REMOVE_COMMENT(buffer)) {
                line = buffer;
                return true;
            }
        }
        return false;
    }

private:
    std::FILE *file_;
};

struct Request {
    const char *filename;
    const char *section; // as the caller gave it: NULL or empty for the whole file
    const char *key;
    int depth;
};

bool has_section(const Request &r) { return r.section && *r.section; }

Status lookup_string(const Request &r, size_t value_capacity, std::string &value, std::string &message);

// Replaces the first "%(name)" of value by the value of name, from the
// request's section or else from "[DEFAULT]". On failure message holds the
// reason and value is unchanged.
Status expand_reference(const Request &r, const char *who, size_t reference_capacity, std::string &value,
                        std::string &message) {
    if (r.depth >= kMaxReferenceDepth) {
        message = format("%s: VALUE REFERENCES NESTED TOO DEEPLY: %s.", who, r.key);
        return Status::abort;
    }
    uint32_t pre_end = 0;
    uint32_t post_begin = UINT32_MAX;
    std::unique_ptr<char, decltype(&std::free)> name(c_PARSE_FOR_PARENTHESES(value.c_str(), &pre_end, &post_begin),
                                                     &std::free);
    if (!name)
        throw std::bad_alloc();
    if (post_begin == UINT32_MAX) {
        message = format("%s: VALUE REFERENCE NOT CLOSED: %s.", who, r.key);
        return Status::failed;
    }

    std::string referenced;
    Request nested{r.filename, r.section, name.get(), r.depth + 1};
    Status status = lookup_string(nested, reference_capacity, referenced, message);
    if (status == Status::empty || status == Status::failed) {
        nested.section = kDefaultSection;
        status = lookup_string(nested, reference_capacity, referenced, message);
    }
    if (status != Status::found)
        return status == Status::abort ? Status::abort : Status::failed;

    // pre_end + 1 wraps to 0 when the reference starts the value.
    const size_t prefix = static_cast<uint32_t>(pre_end + 1u);
    std::string expanded = value.substr(0, prefix) + referenced + value.substr(post_begin);
    cut(expanded, kMaxValue);
    value = std::move(expanded);
    return Status::found;
}

// Opens the profile of a request; on failure (also for an overlong section)
// returns null with the reason in message.
std::unique_ptr<ProfileFile> open_profile(const char *who, const Request &r, std::string &message) {
    if (!r.filename || !*r.filename) {
        message = format("%s: FILE NOT FOUND OR ACCESS PROBLEM.", who);
        return nullptr;
    }
    auto file = std::make_unique<ProfileFile>(r.filename);
    if (!file->is_open()) {
        message = format("%s: FILE NOT FOUND OR ACCESS PROBLEM: %s.", who, r.filename);
        return nullptr;
    }
    if (has_section(r) && std::strlen(r.section) > kMaxSection) {
        message = format("%s: SECTION TOO LONG: %s.", who, r.section);
        return nullptr;
    }
    return file;
}

// Hands out the lines of the requested section (of the whole file when no
// section is given), each as read and lower-cased. Only the first occurrence
// of the section is read: the next header line ends it.
class SectionScanner {
public:
    SectionScanner(ProfileFile &file, const Request &r)
        : file_(file), section_(has_section(r) ? lowered(r.section) : std::string()),
          state_(has_section(r) ? State::searching : State::inside) {}

    bool next(std::string &line, std::string &lower) {
        while (state_ != State::ended && file_.next_line(line)) {
            lower = lowered(line);
            if (state_ == State::searching) {
                if (lower.starts_with(section_))
                    state_ = State::in_section;
                continue;
            }
            if (state_ == State::in_section && line[0] == '[') {
                state_ = State::ended;
                return false;
            }
            return true;
        }
        return false;
    }

    bool section_found() const { return state_ != State::searching; }
    bool ended_at_next_header() const { return state_ == State::ended; }
    const std::string &section() const { return section_; }

private:
    // inside: no section given, every line counts.
    enum class State { searching, in_section, inside, ended };
    ProfileFile &file_;
    std::string section_;
    State state_;
};

// The string lookup. value receives the value (cut to value_capacity - 1)
// only when the key line is found and its reference, if any, expanded;
// message receives the lookup's message, empty after success.
Status lookup_string(const Request &r, size_t value_capacity, std::string &value, std::string &message) {
    std::string scratch;
    auto finish = [&](Status status) {
        message = scratch;
        return status;
    };
    if (!r.key) {
        scratch = format("%s: KEY NOT GIVEN.", kStringLookup);
        return finish(Status::failed);
    }
    const std::unique_ptr<ProfileFile> file = open_profile(kStringLookup, r, scratch);
    if (!file)
        return finish(Status::failed);
    if (std::strlen(r.key) > kMaxKey) {
        scratch = format("%s: KEY TOO LONG: %s.", kStringLookup, r.key);
        return finish(Status::failed);
    }

    // The first matching line wins; later duplicates are never read.
    const std::string key = lowered(r.key) + '=';
    SectionScanner scanner(*file, r);
    std::string line, lower;
    while (scanner.next(line, lower)) {
        if (!lower.starts_with(key))
            continue;
        std::string found(value_of(line));
        remove_trailing_spaces(found);
        if (found.find("%(") != std::string::npos) {
            const Status status = expand_reference(r, kStringLookup, value_capacity, found, scratch);
            if (status != Status::found)
                return finish(status);
        }
        cut(found, value_capacity - 1);
        value = found;
        if (!value.empty())
            return finish(Status::found);
        scratch = format("%s: KEY VALUE NOT FOUND.", kStringLookup);
        return finish(Status::empty);
    }

    if (file->failed())
        scratch = format("%s: FILE NOT FOUND OR ACCESS PROBLEM: %s.", kStringLookup, r.filename);
    else if (scanner.ended_at_next_header())
        scratch = format("%s: KEY NOT FOUND %s%s", kStringLookup, r.section, r.key);
    else if (!scanner.section_found())
        scratch = format("%s: SECTION NOT FOUND: %s.", kStringLookup, scanner.section().c_str());
    else
        scratch = format("%s: KEY NOT FOUND: %s", kStringLookup, r.key);
    return finish(Status::failed);
}

// The list lookup; values are appended to list as they are found, and stay
// there when a later line fails the lookup.
bool lookup_list(const Request &r, t_LL list, std::string &message) {
    std::string scratch;
    auto finish = [&](bool result) {
        message = scratch;
        return result;
    };
    if (!r.key || !list) {
        scratch = format("%s: %s NOT GIVEN.", kListLookup, r.key ? "LIST" : "KEY");
        return finish(false);
    }
    const std::unique_ptr<ProfileFile> file = open_profile(kListLookup, r, scratch);
    if (!file)
        return finish(false);

    // "name#" matches numbered keys, "name##" also puts the key's number in
    // front of each value.
    std::string key = lowered(r.key);
    const bool numbered = key.ends_with('#');
    bool with_number = false;
    if (numbered) {
        key.pop_back();
        if (key.ends_with('#')) {
            key.pop_back();
            with_number = true;
        }
    }
    if (std::strlen(r.key) > (numbered ? kMaxNumberedKey : kMaxKey)) {
        scratch = format("%s: KEY TOO LONG: %s.", kListLookup, r.key);
        return finish(false);
    }
    if (!numbered)
        key += '=';

    SectionScanner scanner(*file, r);
    bool added = false;
    std::string line, lower;
    while (scanner.next(line, lower)) {
        if (!lower.starts_with(key))
            continue;

        if (numbered) {
            const std::string_view after_name = std::string_view(lower).substr(key.size(), kMaxNumberText);
            const size_t equals = after_name.find('=');
            if (equals == std::string_view::npos)
                continue;
            if (!is_canonical_number(after_name.substr(0, equals))) {
                trace("%l3 i_GetPrivateProfileList: key matched but not with a valid number [%s]", line.c_str());
                continue;
            }
        }

        std::string value;
        const std::string_view key_text = std::string_view(line).substr(0, line.find('='));
        if (with_number && key_text.find('_') != std::string_view::npos) {
            value = std::string(key_text.substr(key_text.rfind('_') + 1)) + ':' + std::string(value_of(line));
            cut(value, kMaxValue);
        } else {
            value = value_of(line);
        }
        remove_trailing_spaces(value);
        if (value.find("%(") != std::string::npos &&
            expand_reference(r, kListLookup, kListReferenceBuffer, value, scratch) != Status::found)
            return finish(false);

        InsLastLLf(list, value.size() + 1, value.c_str());
        added = true;
    }

    if (file->failed())
        scratch = format("%s: FILE NOT FOUND OR ACCESS PROBLEM: %s.", kListLookup, r.filename);
    else if (added)
        return finish(true);
    else if (scanner.ended_at_next_header())
        scratch = format("%s: KEY NOT FOUND %s%s", kListLookup, r.section, r.key);
    else if (!scanner.section_found())
        scratch = format("%s: SECTION NOT FOUND: %s.", kListLookup, scanner.section().c_str());
    else
        scratch = format("%s: KEY NOT FOUND: %s", kListLookup, r.key);
    return finish(false);
}

// Copies message into the caller's buffer: at most capacity - 1 characters,
// the rest filled with terminators.
void store_message(const std::string &message, char *cpMsg, int iLengthMsg) {
    const size_t capacity = static_cast<size_t>(iLengthMsg);
    const size_t length = message.size() < capacity - 1 ? message.size() : capacity - 1;
    std::memcpy(cpMsg, message.data(), length);
    std::memset(cpMsg + length, '\0', capacity - length);
}

} // namespace

extern "C" int i_REMOVE_COMMENT(char *cpLine) {
    if (!cpLine)
        return 0;
    const size_t length = std::strlen(cpLine);
    if (length > 0 && cpLine[length - 1] == '\n')
        cpLine[length - 1] = '\0';
    if (const char *hash = std::strchr(cpLine, '#'))
        return hash != cpLine;
    return cpLine[0] != '\0';
}

extern "C" char *c_PARSE_FOR_PARENTHESES(const char *cpString, uint32_t *uipPreEnd, uint32_t *uipPostBegin) {
    const size_t length = std::strlen(cpString);
    // Zero-filled, so that the name is terminated even when no ')' closes it.
    auto *name = static_cast<char *>(std::calloc(length + 1, 1));
    if (!name)
        return nullptr;
    size_t used = 0;
    bool collecting = false;
    for (size_t i = 0; i < length; ++i) {
        if (!collecting) {
            if (cpString[i] == '%' && cpString[i + 1] == '(') {
                // Unsigned on purpose: all ones when the reference starts the
                // string, so that *uipPreEnd + 1 is the prefix length.
                *uipPreEnd = static_cast<uint32_t>(i) - 1u;
                ++i;
                collecting = true;
            }
        } else if (cpString[i] == ')') {
            *uipPostBegin = static_cast<uint32_t>(i + 1);
            return name;
        } else {
            name[used++] = cpString[i];
        }
    }
    return name;
}

extern "C" int i_GetPrivateProfileString(const char *cpFilename, const char *cpSection, const char *cpKey,
                                         char *cpValue, int iLengthValue, char *cpMsg, int iLengthMsg) {
    if (!cpMsg || iLengthMsg < 1)
        return 0;
    try {
        std::string message;
        int result = 0;
        if (!cpValue || iLengthValue < 1) {
            message = format("%s: NO VALUE BUFFER.", kStringLookup);
        } else {
            std::string value;
            const Status status =
                lookup_string({cpFilename, cpSection, cpKey, 0}, static_cast<size_t>(iLengthValue), value, message);
            if (status == Status::found || status == Status::empty)
                strlcpy(cpValue, value.c_str(), static_cast<size_t>(iLengthValue));
            result = status == Status::found;
        }
        store_message(message, cpMsg, iLengthMsg);
        return result;
    } catch (const std::bad_alloc &) {
        // Without memory for its work the lookup fails and reports nothing.
        return 0;
    }
}

extern "C" int i_GetPrivateProfileList(const char *cpFilename, const char *cpSection, const char *cpKey,
                                       t_LL tllListOfValues, char *cpMsg, int iLengthMsg) {
    if (!cpMsg || iLengthMsg < 1)
        return 0;
    try {
        std::string message;
        const bool added = lookup_list({cpFilename, cpSection, cpKey, 0}, tllListOfValues, message);
        store_message(message, cpMsg, iLengthMsg);
        return added ? 1 : 0;
    } catch (const std::bad_alloc &) {
        return 0;
    }
}
