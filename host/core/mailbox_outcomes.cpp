#include "mailbox_outcomes.h"

#include <algorithm>
#include <regex>

namespace host {
namespace {

constexpr std::string_view export_suffixes[] = {".data.zbk", ".index.zbk"};

std::string mailbox_of_stem(std::string_view stem) {
    // The public store's files are "Public.*"; its messages call it so.
    return stem == "Public" ? "PUBLIC_FOLDER" : std::string(stem);
}

// The messages that name a mailbox, each matched as a whole with the name
// as its first group. A name is taken as the shortest text that fits where
// names can hold anything, so that a message's own words after it are not
// taken for part of it. "@" stands for any text, line ends included.
const std::vector<std::regex> &patterns() {
    static const std::vector<std::regex> compiled = [] {
        const char *sources[] = {
            R"re(Warning: User "(@)" was not found on the server)re",
            R"re(Error: mailbox (@?) was not (?:exported|restored): @)re",
            R"re(Warning: command \[@\] ended with (?:exit status|signal) -?[0-9]+ for mailbox (@))re",
            R"re(Warning: user name "(@)" from the server can't name a mailbox \(@\), skipped)re",
            R"re(Warning: (?:user|mailbox) name of [0-9]+ characters is too long \(at most [0-9]+\), skipped: (@))re",
            R"re(Error: can't restore user=(@?), file=@)re",
            R"re((?:Error|Warning): @? for user=(@))re",
            R"re(Warning: Problem occured while trying to remove user=(@))re",
            R"re(Error: mailbox name \[(@)\] can't name a restore script)re",
            R"re(Error: script name for mailbox \[(@)\] is too long @)re",
            R"re(Error: path of [0-9]+ characters is too long \(at most [0-9]+\), the file of mailbox (@) is not restored)re",
            R"re(Error: export directory @ is too long for the mailbox (@))re",
            R"re(Error: user name (@?) in @ holds a "\^", which a list file can't carry)re",
            R"re(Warning: Can't create list file=(?:@/)?(@)\.lst)re",
            R"re(Warning: more than [0-9]+ files of (@?) in @)re",
        };
        std::vector<std::regex> out;
        for (std::string source : sources) {
            for (size_t at = source.find('@'); at != std::string::npos; at = source.find('@', at))
                source.replace(at, 1, "[\\s\\S]+");
            out.emplace_back(source, std::regex::ECMAScript | std::regex::optimize);
        }
        return out;
    }();
    return compiled;
}

// The first export file a message names, as "DIR/NAME.data.zbk" or a bare
// "NAME.index.zbk": names hold no "/", so the stem runs back to one, or to
// the blank, quote, bracket or "=" that opens the bare name.
std::optional<std::string> mailbox_of_named_file(std::string_view message) {
    size_t best = std::string_view::npos;
    for (std::string_view suffix : export_suffixes)
        best = std::min(best, message.find(suffix));
    if (best == std::string_view::npos || best == 0)
        return std::nullopt;
    const std::string_view before = message.substr(0, best);
    const size_t slash = before.rfind('/');
    const size_t start = slash != std::string_view::npos ? slash + 1 : before.find_last_of(" \"[=") + 1;
    if (start >= best)
        return std::nullopt;
    return mailbox_of_stem(before.substr(start));
}

} // namespace

std::optional<std::string> mailbox_of_item(std::string_view item) {
    const size_t slash = item.rfind('/');
    const std::string_view file = slash == std::string_view::npos ? item : item.substr(slash + 1);
    for (std::string_view suffix : export_suffixes)
        if (file.size() > suffix.size() && file.ends_with(suffix))
            return mailbox_of_stem(file.substr(0, file.size() - suffix.size()));
    return std::nullopt;
}

std::optional<std::string> mailbox_named_in(std::string_view message) {
    // The plug-in's messages are at most 511 characters; the matcher
    // recurses along the text, so a longer one of the host's own (with a
    // long item name) is only searched for a file name.
    constexpr size_t longest_matched = 1024;
    if (message.size() <= longest_matched) {
        const std::string text(message);
        std::smatch found;
        for (const std::regex &pattern : patterns())
            if (std::regex_match(text, found, pattern))
                return found[1].str();
    }
    return mailbox_of_named_file(message);
}

MailboxOutcomes &MailboxOutcomes::get() {
    static MailboxOutcomes outcomes;
    return outcomes;
}

void MailboxOutcomes::note(const std::string &mailbox, bool error, std::string_view reason) {
    auto [entry, added] = entries_.try_emplace(mailbox, Entry{entries_.size(), {}, {}});
    std::string &first = error ? entry->second.first_error : entry->second.first_warning;
    if (first.empty())
        first = reason;
}

void MailboxOutcomes::message(std::string_view text) {
    const bool error = text.starts_with("Error:");
    if (!error && !text.starts_with("Warning:"))
        return;
    if (auto mailbox = mailbox_named_in(text))
        note(*mailbox, error, text);
}

void MailboxOutcomes::item_failed(std::string_view item, std::string_view reason) {
    if (auto mailbox = mailbox_of_item(item))
        note(*mailbox, true, reason.empty() ? "Error: item " + std::string(item) + " failed" : std::string(reason));
}

std::vector<MailboxOutcome> MailboxOutcomes::outcomes() const {
    std::vector<std::pair<size_t, MailboxOutcome>> ordered;
    ordered.reserve(entries_.size());
    for (const auto &[mailbox, entry] : entries_) {
        const bool failed = !entry.first_error.empty();
        ordered.push_back({entry.order, {mailbox, failed, failed ? entry.first_error : entry.first_warning}});
    }
    std::sort(ordered.begin(), ordered.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<MailboxOutcome> out;
    out.reserve(ordered.size());
    for (auto &[order, outcome] : ordered)
        out.push_back(std::move(outcome));
    return out;
}

} // namespace host
