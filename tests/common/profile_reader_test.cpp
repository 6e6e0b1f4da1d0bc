// The profile file reader over files the tests write: matching of sections
// and keys, value trimming, value references through "[DEFAULT]" and their
// limits, numbered list keys, buffer edges, and every message text.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cm_common.h"
#include "support/fixtures.h"
#include "support/ll_lists.h"
#include "support/plugin_host.h"

namespace {

using arktest::TempDir;
using arktest::write_file;
using namespace arktest::lists;

const char kUntouched[] = "untouched";

struct Lookup {
    int result;
    std::string value;
    std::string msg;
};

Lookup get_string(const std::string &file, const char *section, const char *key, int value_size = 2048,
                  int msg_size = 512) {
    std::vector<char> value(static_cast<size_t>(value_size), 'v');
    std::memcpy(value.data(), kUntouched, std::min(sizeof kUntouched, value.size()));
    value.back() = '\0';
    std::vector<char> msg(static_cast<size_t>(msg_size), 'm');
    const int result = ARK_FN(i_GetPrivateProfileString)(file.empty() ? nullptr : file.c_str(), section, key,
                                                          value.data(), value_size, msg.data(), msg_size);
    EXPECT_EQ(msg.back(), '\0') << "message not terminated";
    return {result, value.data(), msg.data()};
}

struct ListLookup {
    int result;
    std::vector<std::string> values;
    std::string msg;
};

ListLookup get_list(const std::string &file, const char *section, const char *key) {
    List list;
    std::vector<char> msg(512, 'm');
    const int result = ARK_FN(i_GetPrivateProfileList)(file.c_str(), section, key, list, msg.data(), 512);
    ListLookup out{result, {}, msg.data()};
    for (void *el : elements(list)) {
        EXPECT_EQ(cell(el)->size, std::strlen(static_cast<char *>(el)) + 1) << "element is not a string copy";
        out.values.emplace_back(static_cast<char *>(el));
    }
    return out;
}

class ProfileTest : public ::testing::Test {
protected:
    std::string profile(const std::string &text, const char *name = "test.ini") {
        const auto path = dir_ / name;
        write_file(path, text);
        return path.string();
    }
    TempDir dir_;
};

// ---- String lookup: matching and values -----------------------------------

const char kGeneral[] =
    "# a comment\n"
    "[General]\n"
    "Name=Alpha\n"
    "KEY2 =spaced\n"
    "key3= lead\n"
    "#hidden=1\n"
    "remark=value # remark\n"
    "trail=abc   \n"
    "tab=abc\t\n"
    "cr=abc\r\n"
    "empty=\n"
    "spaces=   \n"
    "Mixed=CaSe Kept\n"
    "eq=a=b\n"
    "\n"
    "[Other] trailing text\n"
    "Only=other\n"
    "Name=other name\n"
    " [Indented]\n"
    "x=1\n"
    "[General]\n"
    "Second=never\n"
    "[Last]\n"
    "z=last\n";

struct StringCase {
    const char *name;
    const char *section;
    const char *key;
    int result;
    const char *value; // what cpValue holds afterwards
    const char *msg;
};

void PrintTo(const StringCase &c, std::ostream *os) { *os << c.name; }

class ProfileStringLookup : public ProfileTest, public ::testing::WithParamInterface<StringCase> {};

void expect_lookup(const std::string &file, const StringCase &c) {
    const Lookup got = get_string(file, c.section, c.key);
    EXPECT_EQ(got.result, c.result);
    EXPECT_EQ(got.value, c.value);
    EXPECT_EQ(got.msg, c.msg);
}

TEST_P(ProfileStringLookup, GivesTheValueOrTheMessage) { expect_lookup(profile(kGeneral), GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    General, ProfileStringLookup,
    ::testing::Values(
        StringCase{"Plain", "[General]", "Name", 1, "Alpha", ""},
        StringCase{"OtherCase", "[GENERAL]", "nAmE", 1, "Alpha", ""},
        StringCase{"ValueKeepsCase", "[general]", "mixed", 1, "CaSe Kept", ""},
        StringCase{"BlankBeforeEquals", "[General]", "KEY2", 0, kUntouched,
                   "i_GetPrivateProfileString: KEY NOT FOUND [General]KEY2"},
        StringCase{"BlankAfterEquals", "[General]", "key3", 1, " lead", ""},
        StringCase{"HashRemarkStays", "[General]", "remark", 1, "value # remark", ""},
        StringCase{"HashLineIsNoKey", "[General]", "#hidden", 0, kUntouched,
                   "i_GetPrivateProfileString: KEY NOT FOUND [General]#hidden"},
        StringCase{"TrailingSpacesGo", "[General]", "trail", 1, "abc", ""},
        StringCase{"TrailingTabStays", "[General]", "tab", 1, "abc\t", ""},
        StringCase{"CarriageReturnStays", "[General]", "cr", 1, "abc\r", ""},
        StringCase{"EmptyValue", "[General]", "empty", 0, "", "i_GetPrivateProfileString: KEY VALUE NOT FOUND."},
        StringCase{"SpacesOnly", "[General]", "spaces", 0, "", "i_GetPrivateProfileString: KEY VALUE NOT FOUND."},
        StringCase{"AfterFirstEquals", "[General]", "eq", 1, "a=b", ""},
        StringCase{"KeyInLaterSection", "[General]", "Only", 0, kUntouched,
                   "i_GetPrivateProfileString: KEY NOT FOUND [General]Only"},
        StringCase{"SecondOccurrenceNotSearched", "[General]", "Second", 0, kUntouched,
                   "i_GetPrivateProfileString: KEY NOT FOUND [General]Second"},
        StringCase{"HeaderWithTrailingText", "[Other]", "Name", 1, "other name", ""},
        StringCase{"IndentedHeaderNeverMatches", "[Indented]", "x", 0, kUntouched,
                   "i_GetPrivateProfileString: SECTION NOT FOUND: [indented]."},
        StringCase{"MissingSection", "[NoSuch]", "x", 0, kUntouched,
                   "i_GetPrivateProfileString: SECTION NOT FOUND: [nosuch]."},
        StringCase{"MissingFromLastSection", "[Last]", "Name", 0, kUntouched,
                   "i_GetPrivateProfileString: KEY NOT FOUND: Name"},
        StringCase{"WholeFileFirstMatch", nullptr, "Name", 1, "Alpha", ""},
        StringCase{"WholeFileLaterSection", "", "Only", 1, "other", ""},
        StringCase{"WholeFileMissing", nullptr, "nothing", 0, kUntouched,
                   "i_GetPrivateProfileString: KEY NOT FOUND: nothing"}),
    [](const ::testing::TestParamInfo<StringCase> &info) { return std::string(info.param.name); });

// ---- Value references ------------------------------------------------------

const char kReferences[] =
    "[Refs]\n"
    "Name=RefName\n"
    "mid=pre-%(Name)-post\n"
    "start=%(name)!\n"
    "two=%(Name)+%(Name)\n"
    "fromdefault=%(Global)\n"
    "nested=<%(fromdefault)>\n"
    "missing=%(Nowhere)\n"
    "unclosed=x%(Name\n"
    "self=%(self)\n"
    "a=%(b)\n"
    "b=%(a)\n"
    "emptyref=%(empty)\n"
    "empty=\n"
    "d1=%(d2)\n" "d2=%(d3)\n" "d3=%(d4)\n" "d4=%(d5)\n" "d5=%(d6)\n"
    "d6=%(d7)\n" "d7=%(d8)\n" "d8=%(d9)\n" "d9=%(d10)\n" "d10=bottom\n"
    "[DEFAULT]\n"
    "Global=G\n"
    "empty=from default\n"
    "d9=cut short\n";

class ProfileReference : public ProfileTest, public ::testing::WithParamInterface<StringCase> {};

TEST_P(ProfileReference, ExpandsOneReference) { expect_lookup(profile(kReferences), GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Refs, ProfileReference,
    ::testing::Values(
        StringCase{"Middle", "[Refs]", "mid", 1, "pre-RefName-post", ""},
        StringCase{"AtStart", "[Refs]", "start", 1, "RefName!", ""},
        StringCase{"SecondStaysLiteral", "[Refs]", "two", 1, "RefName+%(Name)", ""},
        StringCase{"FromDefault", "[Refs]", "fromdefault", 1, "G", ""},
        StringCase{"ReferencedValueIsExpandedToo", "[Refs]", "nested", 1, "<G>", ""},
        StringCase{"EmptyInSectionTakenFromDefault", "[Refs]", "emptyref", 1, "from default", ""},
        StringCase{"Nowhere", "[Refs]", "missing", 0, kUntouched,
                   "i_GetPrivateProfileString: KEY NOT FOUND: Nowhere"},
        StringCase{"Unclosed", "[Refs]", "unclosed", 0, kUntouched,
                   "i_GetPrivateProfileString: VALUE REFERENCE NOT CLOSED: unclosed."},
        StringCase{"SelfCycle", "[Refs]", "self", 0, kUntouched,
                   "i_GetPrivateProfileString: VALUE REFERENCES NESTED TOO DEEPLY: self."},
        StringCase{"TwoKeyCycle", "[Refs]", "a", 0, kUntouched,
                   "i_GetPrivateProfileString: VALUE REFERENCES NESTED TOO DEEPLY: a."},
        // Eight references in a row are followed, a ninth is not.
        StringCase{"EightDeep", "[Refs]", "d2", 1, "bottom", ""},
        StringCase{"NineDeep", "[Refs]", "d1", 0, kUntouched,
                   "i_GetPrivateProfileString: VALUE REFERENCES NESTED TOO DEEPLY: d9."},
        // Without a section the whole file is searched, "[DEFAULT]" included.
        StringCase{"WholeFile", nullptr, "fromdefault", 1, "G", ""}),
    [](const ::testing::TestParamInfo<StringCase> &info) { return std::string(info.param.name); });

TEST_F(ProfileTest, ReferenceFailsWithTheDefaultLookupsMessageWhenThereIsNoDefault) {
    const auto file = profile("[S]\nk=%(gone)\n[T]\n");
    const Lookup got = get_string(file, "[S]", "k");
    EXPECT_EQ(got.result, 0);
    EXPECT_EQ(got.value, kUntouched);
    EXPECT_EQ(got.msg, "i_GetPrivateProfileString: SECTION NOT FOUND: [default].");
}

TEST_F(ProfileTest, ExpandedValueIsCutAt1023Characters) {
    const std::string head(600, 'h');
    const std::string referenced(600, 'r');
    const auto file = profile("[S]\nk=" + head + "%(r)tail\nr=" + referenced + "\n");
    const Lookup got = get_string(file, "[S]", "k", 4096);
    EXPECT_EQ(got.result, 1);
    EXPECT_EQ(got.value, (head + referenced + "tail").substr(0, 1023));
}

TEST_F(ProfileTest, ValueBufferBoundsValueAndReferencedValue) {
    const auto file = profile("[S]\nk=<%(r)>\nr=abcdef\nplain=abcdef\n");
    // The referenced value is cut to the value buffer before it is joined.
    EXPECT_EQ(get_string(file, "[S]", "k", 5).value, "<abc");
    EXPECT_EQ(get_string(file, "[S]", "plain", 4).value, "abc");
    const Lookup one = get_string(file, "[S]", "plain", 1);
    EXPECT_EQ(one.result, 0);
    EXPECT_EQ(one.value, "");
    EXPECT_EQ(one.msg, "i_GetPrivateProfileString: KEY VALUE NOT FOUND.");
}

// ---- Arguments, files and buffers -----------------------------------------

TEST_F(ProfileTest, FileProblemsAreReported) {
    EXPECT_EQ(get_string("", "[S]", "k").msg, "i_GetPrivateProfileString: FILE NOT FOUND OR ACCESS PROBLEM.");
    const std::string missing = (dir_ / "missing.ini").string();
    const Lookup got = get_string(missing, "[S]", "k");
    EXPECT_EQ(got.result, 0);
    EXPECT_EQ(got.value, kUntouched);
    EXPECT_EQ(got.msg, "i_GetPrivateProfileString: FILE NOT FOUND OR ACCESS PROBLEM: " + missing + ".");
    // A directory opens but cannot be read.
    EXPECT_EQ(get_string(dir_.path().string(), "[S]", "k").msg,
              "i_GetPrivateProfileString: FILE NOT FOUND OR ACCESS PROBLEM: " + dir_.path().string() + ".");
    EXPECT_EQ(get_list(missing, "[S]", "k").msg,
              "i_GetPrivateProfileList: FILE NOT FOUND OR ACCESS PROBLEM: " + missing + ".");
}

TEST_F(ProfileTest, OverlongSectionOrKeyFailsTheLookup) {
    const std::string section = "[" + std::string(61, 's') + "]"; // 63 characters
    const std::string key(62, 'k');
    const auto file = profile(section + "\n" + key + "=fits\n" + key + "k=" + "long\n");
    EXPECT_EQ(get_string(file, section.c_str(), key.c_str()).value, "fits");

    const std::string long_section = "[" + std::string(62, 's') + "]";
    EXPECT_EQ(get_string(file, long_section.c_str(), key.c_str()).msg,
              "i_GetPrivateProfileString: SECTION TOO LONG: " + long_section + ".");
    const std::string long_key = key + "k";
    EXPECT_EQ(get_string(file, section.c_str(), long_key.c_str()).msg,
              "i_GetPrivateProfileString: KEY TOO LONG: " + long_key + ".");
    EXPECT_EQ(get_list(file, section.c_str(), long_key.c_str()).msg,
              "i_GetPrivateProfileList: KEY TOO LONG: " + long_key + ".");
    // A numbered key may have 63 characters with its '#'.
    EXPECT_EQ(get_list(file, section.c_str(), (key + "#").c_str()).msg, "i_GetPrivateProfileList: KEY NOT FOUND: " + key + "#");
}

TEST_F(ProfileTest, LongLinesAreReadInPiecesOf1023Bytes) {
    const std::string pad = "pad=" + std::string(1019, 'x'); // exactly one piece
    const auto file = profile("[S]\n" + pad + "hidden=yes\n");
    EXPECT_EQ(get_string(file, "[S]", "pad").value, std::string(1019, 'x'));
    EXPECT_EQ(get_string(file, "[S]", "hidden").value, "yes");
}

TEST_F(ProfileTest, MessageIsCutToItsBufferAndPaddedWithTerminators) {
    const auto file = profile("[S]\nk=v\n");
    std::vector<char> msg(12, 'm');
    char value[16] = "";
    EXPECT_EQ(ARK_FN(i_GetPrivateProfileString)(file.c_str(), "[S]", "zz", value, 16, msg.data(), 12), 0);
    EXPECT_EQ(std::string(msg.data()), "i_GetPrivat");
    EXPECT_EQ(msg[11], '\0');

    std::vector<char> wide(64, 'm');
    EXPECT_EQ(ARK_FN(i_GetPrivateProfileString)(file.c_str(), "[S]", "k", value, 16, wide.data(), 64), 1);
    EXPECT_EQ(std::string(wide.begin(), wide.end()), std::string(64, '\0')) << "a success leaves the message empty";
    EXPECT_STREQ(value, "v");
}

TEST_F(ProfileTest, MissingBuffersFailWithoutWriting) {
    const auto file = profile("[S]\nk=v\n");
    char value[8] = "keep";
    char msg[64] = "keep";
    EXPECT_EQ(ARK_FN(i_GetPrivateProfileString)(file.c_str(), "[S]", "k", value, 8, nullptr, 64), 0);
    EXPECT_EQ(ARK_FN(i_GetPrivateProfileString)(file.c_str(), "[S]", "k", value, 8, msg, 0), 0);
    EXPECT_STREQ(msg, "keep");
    EXPECT_STREQ(value, "keep");
    EXPECT_EQ(ARK_FN(i_GetPrivateProfileString)(file.c_str(), "[S]", nullptr, value, 8, msg, 64), 0);
    EXPECT_STREQ(msg, "i_GetPrivateProfileString: KEY NOT GIVEN.");
    EXPECT_EQ(ARK_FN(i_GetPrivateProfileString)(file.c_str(), "[S]", "k", nullptr, 8, msg, 64), 0);
    EXPECT_STREQ(msg, "i_GetPrivateProfileString: NO VALUE BUFFER.");
    EXPECT_EQ(ARK_FN(i_GetPrivateProfileList)(file.c_str(), "[S]", "k", nullptr, msg, 64), 0);
    EXPECT_STREQ(msg, "i_GetPrivateProfileList: LIST NOT GIVEN.");
}

// ---- List lookup -----------------------------------------------------------

const std::string kLists =
    std::string(    "[Hosts]\n"
    "host=a\n"
    "host =skipped\n"
    "HOST=b  \n"
    "name1=n1\n"
    "name2=n2\n"
    "name10=n10\n"
    "name01=bad zero\n"
    "namex=bad letters\n"
    "name=bad empty\n"
    "name-3=negative\n"
    "name+3=bad plus\n"
    "name 3=bad blank\n"
    "name99999999999=bad range\n"
    "name7\n"
    "name0=zero\n"
    "srv_1=alpha\n"
    "srv_22=beta %(Ref)\n"
    "plain1=p\n"
    "empty=\n"
    "bad=1\n"
    "bad=%(nothing)\n"
    "bad=3\n"
    "huge=%(Big)\n"
    "[Next]\n"
    "host=c\n"
    "[DEFAULT]\n"
    "Ref=R\n"
    "Big=") + std::string(600, 'B') + "\n";

std::vector<std::string> invalid_number_traces() {
    const std::string text = "i_GetPrivateProfileList: key matched but not with a valid number [";
    std::vector<std::string> out;
    for (const auto &line : arktest::trace_lines()) {
        const size_t at = line.find(text);
        if (at != std::string::npos && line.ends_with("]"))
            out.push_back(line.substr(at + text.size(), line.size() - at - text.size() - 1));
    }
    return out;
}

TEST_F(ProfileTest, ListCollectsEveryMatchingLineOfTheSection) {
    const auto file = profile(kLists);
    const ListLookup got = get_list(file, "[hosts]", "host");
    EXPECT_EQ(got.result, 1);
    EXPECT_EQ(got.values, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(got.msg, "");

    EXPECT_EQ(get_list(file, nullptr, "host").values, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(get_list(file, "[Hosts]", "empty").values, std::vector<std::string>{""});
}

TEST_F(ProfileTest, NumberedKeyTakesValidNumbersAndTracesTheRest) {
    const auto file = profile(kLists);
    arktest::trace_lines().clear();
    const ListLookup got = get_list(file, "[Hosts]", "name#");
    EXPECT_EQ(got.result, 1);
    EXPECT_EQ(got.values, (std::vector<std::string>{"n1", "n2", "n10", "negative", "zero"}));
    EXPECT_EQ(invalid_number_traces(),
              (std::vector<std::string>{"name01=bad zero", "namex=bad letters", "name=bad empty", "name+3=bad plus",
                                        "name 3=bad blank", "name99999999999=bad range"}));
}

TEST_F(ProfileTest, DoubleHashPutsTheKeysNumberInFront) {
    const auto file = profile(kLists);
    EXPECT_EQ(get_list(file, "[Hosts]", "srv_##").values, (std::vector<std::string>{"1:alpha", "22:beta R"}));
    // Without an underscore in the key the value comes alone.
    EXPECT_EQ(get_list(file, "[Hosts]", "plain##").values, std::vector<std::string>{"p"});
}

TEST_F(ProfileTest, ListReferenceIsCutTo511AndAFailureKeepsEarlierValues) {
    const auto file = profile(kLists);
    EXPECT_EQ(get_list(file, "[Hosts]", "huge").values, std::vector<std::string>{std::string(511, 'B')});

    const ListLookup got = get_list(file, "[Hosts]", "bad");
    EXPECT_EQ(got.result, 0);
    EXPECT_EQ(got.values, std::vector<std::string>{"1"});
    EXPECT_EQ(got.msg, "i_GetPrivateProfileString: KEY NOT FOUND: nothing");
}

TEST_F(ProfileTest, ListFailuresAndTheCallersElements) {
    const auto file = profile(kLists);
    EXPECT_EQ(get_list(file, "[Hosts]", "zzz").msg, "i_GetPrivateProfileList: KEY NOT FOUND [Hosts]zzz");
    EXPECT_EQ(get_list(file, "[DEFAULT]", "zzz").msg, "i_GetPrivateProfileList: KEY NOT FOUND: zzz");
    EXPECT_EQ(get_list(file, "[Gone]", "host").msg, "i_GetPrivateProfileList: SECTION NOT FOUND: [gone].");

    // The list is not emptied first.
    List list;
    ARK_FN(InsArgvLL)(list, "mine", static_cast<const char *>(nullptr));
    char msg[128];
    EXPECT_EQ(ARK_FN(i_GetPrivateProfileList)(file.c_str(), "[Next]", "host", list, msg, sizeof msg), 1);
    std::vector<std::string> values;
    for (void *el : elements(list))
        values.emplace_back(static_cast<char *>(el));
    EXPECT_EQ(values, (std::vector<std::string>{"mine", "c"}));
}

// ---- Line helpers ----------------------------------------------------------

TEST(ProfileLine, RemoveCommentCutsTheNewlineAndTellsWhatToSkip) {
    struct Case {
        const char *in;
        int use;
        const char *out;
    };
    for (const Case &c : {Case{"\n", 0, ""}, Case{"", 0, ""}, Case{"#x\n", 0, "#x"}, Case{"  #x\n", 1, "  #x"},
                          Case{"a=b\n", 1, "a=b"}, Case{"a=b # c", 1, "a=b # c"}, Case{"a\r\n", 1, "a\r"},
                          Case{"[S]", 1, "[S]"}}) {
        std::string line = c.in;
        EXPECT_EQ(ARK_FN(i_REMOVE_COMMENT)(line.data()), c.use) << '"' << c.in << '"';
        EXPECT_STREQ(line.c_str(), c.out);
    }
}

TEST(ProfileLine, ParseForParenthesesFindsTheFirstReference) {
    struct Case {
        const char *in;
        const char *name;
        uint32_t pre_end; // 77 and 88: left unchanged
        uint32_t post_begin;
    };
    for (const Case &c : {Case{"%(name)rest", "name", UINT32_MAX, 7}, Case{"ab%(x)", "x", 1, 6},
                          Case{"a%(b)c%(d)", "b", 0, 5}, Case{"%(a%(b)", "a%(b", UINT32_MAX, 7},
                          Case{"no reference", "", 77, 88}, Case{"x%(open", "open", 0, 88},
                          Case{"%()", "", UINT32_MAX, 3}}) {
        uint32_t pre = 77, post = 88;
        char *name = ARK_FN(c_PARSE_FOR_PARENTHESES)(c.in, &pre, &post);
        ASSERT_NE(name, nullptr);
        EXPECT_STREQ(name, c.name) << c.in;
        EXPECT_EQ(pre, c.pre_end) << c.in;
        EXPECT_EQ(post, c.post_begin) << c.in;
        std::free(name);
    }
}

} // namespace
