// The linked-list library through the loaded plug-in: the cell model and its
// primitives, insertion, linking, unlinking and deletion, navigation,
// whole-list operations, and the process exit when memory is exhausted.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "LL.h"
#include "cm_common.h"
#include "support/ll_lists.h"
#include "support/plugin_host.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
// The out-of-memory tests need malloc to report failure instead of the
// sanitizer ending the process.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }
#endif

namespace {
bool g_refuse_malloc = false;
} // namespace

#if !defined(__SANITIZE_ADDRESS__)
// The test process is the host: the plug-in's calls of malloc bind to this
// definition, which can be told to fail (see refuse_malloc).
extern "C" void *__libc_malloc(size_t size);
extern "C" void *malloc(size_t size) { return g_refuse_malloc ? nullptr : __libc_malloc(size); }
#endif

namespace {

using namespace arktest::lists;

TEST(LLCells, PrimitivesLinkAndUnlinkBareCells) {
    l_list a{}, b{}, c{};
    ARK_FN(l_linit)(&a);
    EXPECT_EQ(a.forward, &a);
    EXPECT_EQ(a.backward, &a);

    ARK_FN(l_lafter)(&a, &b);  // a b
    ARK_FN(l_lbefore)(&a, &c); // a b c (c before a in the circle)
    EXPECT_EQ(a.forward, &b);
    EXPECT_EQ(b.forward, &c);
    EXPECT_EQ(c.forward, &a);
    EXPECT_EQ(a.backward, &c);
    EXPECT_EQ(c.backward, &b);
    EXPECT_EQ(b.backward, &a);

    ARK_FN(l_unlink)(&b);
    EXPECT_EQ(a.forward, &c);
    EXPECT_EQ(c.backward, &a);
    // The unlinked cell keeps its own pointers.
    EXPECT_EQ(b.forward, &c);
    EXPECT_EQ(b.backward, &a);
}

TEST(LLEmpty, NavigationAndTestsSeeOnlyTheHead) {
    List list;
    void *head = head_position(list);
    EXPECT_EQ(ARK_FN(FirstElmLL)(list), head);
    EXPECT_EQ(ARK_FN(LastElmLL)(list), head);
    EXPECT_EQ(ARK_FN(IsElmLL)(head), 0);
    EXPECT_EQ(ARK_FN(SizeLL)(list), 0u);
    EXPECT_EQ(ARK_FN(IsEmptyLL)(list), 1);
    EXPECT_EQ(ARK_FN(NthElmLL)(list, 0), head);
    EXPECT_EQ(ARK_FN(NthElmLL)(list, 5), head);
    EXPECT_EQ(ARK_FN(NextCElmLL)(head), head);
    EXPECT_EQ(ARK_FN(PrevCElmLL)(head), head);
    EXPECT_TRUE(elements(list).empty());
    EXPECT_TRUE(links_consistent(list));
}

TEST(LLEmpty, InitLLMakesACallerHeadUsable) {
    s_LL storage;
    std::memset(&storage, 0xAB, sizeof storage);
    t_LL list = ARK_FN(InitLL)(&storage);
    EXPECT_EQ(list, &storage);
    EXPECT_EQ(ARK_FN(IsEmptyLL)(list), 1);
    append_ints(list, {1, 2});
    EXPECT_EQ(ints(list), (std::vector<int>{1, 2}));
    EXPECT_EQ(ARK_FN(EmptyLL)(list), list);
    EXPECT_EQ(ARK_FN(IsEmptyLL)(list), 1);
    EXPECT_TRUE(links_consistent(list));
}

class LLSingle : public ::testing::TestWithParam<bool> {};

TEST_P(LLSingle, OneElementIsFirstLastAndItsOwnCircularNeighbour) {
    List list;
    const int value = 42;
    void *el = GetParam() ? ARK_FN(InsFirstLLf)(list, sizeof value, &value)
                          : ARK_FN(InsLastLLf)(list, sizeof value, &value);
    EXPECT_EQ(ARK_FN(FirstElmLL)(list), el);
    EXPECT_EQ(ARK_FN(LastElmLL)(list), el);
    EXPECT_EQ(ARK_FN(IsFirstElmLL)(el), 1);
    EXPECT_EQ(ARK_FN(IsLastElmLL)(el), 1);
    EXPECT_EQ(ARK_FN(NextCElmLL)(el), el);
    EXPECT_EQ(ARK_FN(PrevCElmLL)(el), el);
    EXPECT_EQ(ARK_FN(NextElmLL)(el), head_position(list));
    EXPECT_EQ(ARK_FN(PrevElmLL)(el), head_position(list));
    EXPECT_EQ(ARK_FN(SizeLL)(list), 1u);
    EXPECT_EQ(ARK_FN(IsEmptyLL)(list), 0);
    EXPECT_TRUE(links_consistent(list));
}
INSTANTIATE_TEST_SUITE_P(FirstOrLast, LLSingle, ::testing::Bool());

TEST(LLInsert, FormsPlaceCopiesWhereTheySay) {
    List list;
    int v = 3;
    void *three = ARK_FN(InsLastLLf)(list, sizeof v, &v);
    v = 1;
    ARK_FN(InsFirstLLf)(list, sizeof v, &v);
    v = 5;
    void *five = ARK_FN(InsLastLLf)(list, sizeof v, &v);
    v = 4;
    ARK_FN(InsBefLLf)(five, sizeof v, &v);
    v = 2;
    ARK_FN(InsAftLLf)(ARK_FN(FirstElmLL)(list), sizeof v, &v);
    v = 99; // the list holds copies, not the caller's variable
    EXPECT_EQ(ints(list), (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(cell(three)->size, sizeof(int));
    EXPECT_TRUE(links_consistent(list));

    // The data after the cell is aligned for every basic type.
    for (void *el : elements(list))
        EXPECT_EQ(reinterpret_cast<uintptr_t>(el) % alignof(double), 0u);

    // InsLLf itself with a cell primitive as the placement.
    const double d = 2.5;
    void *el = ARK_FN(InsLLf)(head_cell(list), sizeof d, &d, ARK_FN(l_lafter));
    EXPECT_EQ(ARK_FN(FirstElmLL)(list), el);
    EXPECT_EQ(*static_cast<double *>(el), 2.5);
    EXPECT_EQ(cell(el)->size, sizeof d);
}

TEST(LLInsert, InsArgvLLAppendsEachStringWithItsTerminator) {
    List list;
    ARK_FN(InsArgvLL)(list, "alpha", "", "gamma ray", static_cast<const char *>(nullptr));
    std::vector<void *> els = elements(list);
    ASSERT_EQ(els.size(), 3u);
    const char *expected[] = {"alpha", "", "gamma ray"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_STREQ(static_cast<char *>(els[i]), expected[i]);
        EXPECT_EQ(cell(els[i])->size, std::strlen(expected[i]) + 1);
    }
    ARK_FN(InsArgvLL)(list, static_cast<const char *>(nullptr));
    EXPECT_EQ(ARK_FN(SizeLL)(list), 3u);
}

TEST(LLNavigation, PositionalWalksCountTheHeadAndWrap) {
    List list;
    append_ints(list, {10, 20, 30});
    std::vector<void *> els = elements(list);
    void *head = head_position(list);
    EXPECT_EQ(ARK_FN(NthElmLL)(list, 0), head);
    EXPECT_EQ(ARK_FN(NthElmLL)(list, 1), els[0]);
    EXPECT_EQ(ARK_FN(NthElmLL)(list, 3), els[2]);
    EXPECT_EQ(ARK_FN(NthElmLL)(list, -1), els[2]);
    EXPECT_EQ(ARK_FN(NthElmLL)(list, -3), els[0]);
    EXPECT_EQ(ARK_FN(NthElmLL)(list, 4), head);  // SizeLL + 1
    EXPECT_EQ(ARK_FN(NthElmLL)(list, 5), els[0]); // SizeLL + 2
    EXPECT_EQ(ARK_FN(NthElmLL)(list, -4), head);
    EXPECT_EQ(ARK_FN(NthElmLL)(list, -6), els[1]);

    EXPECT_EQ(ARK_FN(RelNthElmLL)(els[1], 0), els[1]);
    EXPECT_EQ(ARK_FN(RelNthElmLL)(els[0], 2), els[2]);
    EXPECT_EQ(ARK_FN(RelNthElmLL)(els[2], -2), els[0]);
    EXPECT_EQ(ARK_FN(RelNthElmLL)(els[2], 1), head);
    EXPECT_EQ(ARK_FN(RelNthElmLL)(els[2], 2), els[0]);

    EXPECT_EQ(ARK_FN(IsNthElmLL)(list, 2, els[1]), 1);
    EXPECT_EQ(ARK_FN(IsNthElmLL)(list, -1, els[1]), 0);

    EXPECT_EQ(ARK_FN(NextCElmLL)(els[2]), els[0]);
    EXPECT_EQ(ARK_FN(PrevCElmLL)(els[0]), els[2]);
    EXPECT_EQ(ARK_FN(NextCElmLL)(els[0]), els[1]);
    EXPECT_EQ(ARK_FN(IsFirstElmLL)(els[1]), 0);
    EXPECT_EQ(ARK_FN(IsLastElmLL)(els[1]), 0);
    EXPECT_EQ(ARK_FN(IsLastElmLL)(els[2]), 1);
}

TEST(LLUnlink, NeighbourFormsReturnTheHeadPositionAtTheEnds) {
    List list;
    append_ints(list, {1, 2, 3});
    std::vector<void *> els = elements(list);
    void *head = head_position(list);

    EXPECT_EQ(ARK_FN(UnlinkNeLL)(els[2]), head);
    EXPECT_EQ(ARK_FN(UnlinkPrLL)(els[0]), head);
    EXPECT_EQ(ints(list), std::vector<int>{2});
    EXPECT_TRUE(links_consistent(list));
    // Unlinked elements keep their blocks; relink them so that DestLL
    // releases them.
    ARK_FN(LinkLastLL)(list, els[2]);
    ARK_FN(LinkFirstLL)(list, els[0]);
    EXPECT_EQ(ints(list), (std::vector<int>{1, 2, 3}));

    EXPECT_EQ(ARK_FN(UnlinkNeLL)(els[0]), els[1]);
    EXPECT_EQ(ARK_FN(UnlinkPrLL)(els[2]), els[1]);
    EXPECT_EQ(ARK_FN(UnlinkLL)(els[1]), els[1]);
    EXPECT_EQ(ARK_FN(IsEmptyLL)(list), 1);
    ARK_FN(LinkFirstLL)(list, els[1]);
    ARK_FN(LinkBefLL)(els[1], els[0]);
    ARK_FN(LinkAftLL)(els[1], els[2]);
    EXPECT_EQ(ints(list), (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(links_consistent(list));
}

TEST(LLUnlink, UnlinkedElementMovesToAnotherListWithItsDataAndSize) {
    List a, b;
    const char text[] = "payload";
    void *el = ARK_FN(InsLastLLf)(a, sizeof text, text);
    ARK_FN(UnlinkLL)(el);
    EXPECT_EQ(ARK_FN(LinkLastLL)(b, el), el);
    EXPECT_EQ(ARK_FN(IsEmptyLL)(a), 1);
    EXPECT_STREQ(static_cast<char *>(ARK_FN(FirstElmLL)(b)), "payload");
    EXPECT_EQ(cell(el)->size, sizeof text);

    // The LinkIns forms place the element and replace its size.
    ARK_FN(UnlinkLL)(el);
    EXPECT_EQ(ARK_FN(LinkInsLastLLf)(a, 3, el), el);
    EXPECT_EQ(cell(el)->size, 3u);
    EXPECT_EQ(ARK_FN(LastElmLL)(a), el);

    void *other = append_int(a, 7);
    ARK_FN(UnlinkLL)(el);
    EXPECT_EQ(ARK_FN(LinkInsFirstLLf)(a, 4, el), el);
    EXPECT_EQ(ARK_FN(FirstElmLL)(a), el);
    ARK_FN(UnlinkLL)(el);
    EXPECT_EQ(ARK_FN(LinkInsAftLLf)(other, 5, el), el);
    EXPECT_EQ(ARK_FN(LastElmLL)(a), el);
    ARK_FN(UnlinkLL)(el);
    EXPECT_EQ(ARK_FN(LinkInsBefLLf)(other, 6, el), el);
    EXPECT_EQ(ARK_FN(FirstElmLL)(a), el);
    EXPECT_EQ(cell(el)->size, 6u);
    ARK_FN(UnlinkLL)(el);
    EXPECT_EQ(ARK_FN(LinkInsLLf)(head_cell(b), 8, cell(el), ARK_FN(l_lbefore)), el);
    EXPECT_EQ(cell(el)->size, 8u);
    EXPECT_EQ(ARK_FN(LastElmLL)(b), el);
    EXPECT_TRUE(links_consistent(a));
    EXPECT_TRUE(links_consistent(b));
}

TEST(LLDelete, NeighbourFormsReturnWhatSurroundedTheDeletedElement) {
    List list;
    append_ints(list, {1, 2, 3, 4});
    std::vector<void *> els = elements(list);
    EXPECT_EQ(ARK_FN(DelElmNeLL)(els[3]), head_position(list));
    EXPECT_EQ(ARK_FN(DelElmPrLL)(els[0]), head_position(list));
    EXPECT_EQ(ints(list), (std::vector<int>{2, 3}));
    EXPECT_EQ(ARK_FN(DelElmNeLL)(els[1]), els[2]);
    EXPECT_EQ(ARK_FN(DelElmPrLL)(els[2]), head_position(list));
    EXPECT_EQ(ARK_FN(IsEmptyLL)(list), 1);
    append_ints(list, {5, 6});
    ARK_FN(DelElmLL)(ARK_FN(FirstElmLL)(list));
    EXPECT_EQ(ints(list), std::vector<int>{6});
    EXPECT_TRUE(links_consistent(list));
}

int g_visits;
void *delete_each(void *el) {
    ++g_visits;
    ARK_FN(DelElmLL)(el);
    return nullptr;
}
void *stop_at_three(void *el) {
    ++g_visits;
    return value_of(el) == 3 ? el : nullptr;
}

TEST(LLWhole, ApplyLLMayDeleteItsElementAndStopsAtTheFirstResult) {
    List list;
    append_ints(list, {1, 2, 3, 4, 5});
    g_visits = 0;
    void *three = ARK_FN(NthElmLL)(list, 3);
    EXPECT_EQ(ARK_FN(ApplyLL)(list, stop_at_three), three);
    EXPECT_EQ(g_visits, 3);

    g_visits = 0;
    EXPECT_EQ(ARK_FN(ApplyLL)(list, delete_each), nullptr);
    EXPECT_EQ(g_visits, 5);
    EXPECT_EQ(ARK_FN(IsEmptyLL)(list), 1);
    EXPECT_TRUE(links_consistent(list));
}

TEST(LLWhole, ReverseLLReversesAndTwiceRestores) {
    List list;
    ARK_FN(ReverseLL)(list);
    EXPECT_EQ(ARK_FN(IsEmptyLL)(list), 1);
    EXPECT_TRUE(links_consistent(list));

    append_ints(list, {1, 2, 3, 4});
    EXPECT_EQ(ARK_FN(ReverseLL)(list), list.get());
    EXPECT_EQ(ints(list), (std::vector<int>{4, 3, 2, 1}));
    EXPECT_TRUE(links_consistent(list));
    ARK_FN(ReverseLL)(list);
    EXPECT_EQ(ints(list), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_TRUE(links_consistent(list));
}

TEST(LLWhole, CopiesHoldEqualDataOrTheSourceAddresses) {
    List src;
    ARK_FN(InsArgvLL)(src, "one", "three", "", static_cast<const char *>(nullptr));
    std::vector<void *> originals = elements(src);

    List copy(ARK_FN(ConsCopyLL)(src));
    std::vector<void *> copies = elements(copy);
    ASSERT_EQ(copies.size(), originals.size());
    for (size_t i = 0; i < copies.size(); ++i) {
        EXPECT_NE(copies[i], originals[i]);
        EXPECT_STREQ(static_cast<char *>(copies[i]), static_cast<char *>(originals[i]));
        EXPECT_EQ(cell(copies[i])->size, cell(originals[i])->size);
    }
    EXPECT_TRUE(links_consistent(copy));

    List pointers(ARK_FN(ConsPtrLL)(src));
    std::vector<void *> slots = elements(pointers);
    ASSERT_EQ(slots.size(), originals.size());
    for (size_t i = 0; i < slots.size(); ++i) {
        EXPECT_EQ(*static_cast<void **>(slots[i]), originals[i]);
        EXPECT_EQ(cell(slots[i])->size, sizeof(void *));
    }

    List empty;
    List empty_copy(ARK_FN(ConsCopyLL)(empty));
    EXPECT_EQ(ARK_FN(IsEmptyLL)(empty_copy), 1);
}

TEST(LLWhole, DestLLReturnsNullAndEmptyLLLeavesAReusableList) {
    t_LL list = ARK_FN(ConsLL)();
    append_ints(list, {1, 2, 3});
    EXPECT_EQ(ARK_FN(EmptyLL)(list), list);
    EXPECT_EQ(ARK_FN(SizeLL)(list), 0u);
    EXPECT_TRUE(links_consistent(list));
    append_ints(list, {4});
    EXPECT_EQ(ints(list), std::vector<int>{4});
    EXPECT_EQ(ARK_FN(DestLL)(list), nullptr);
}

// ---- Out of memory: the process ends with a message ----------------------

struct ChildResult {
    int status = -1; // exit status, -1 when ended by a signal
    std::string err;
};

// Runs body in a forked child whose standard error is captured; a body that
// returns ends the child with status 0.
ChildResult run_in_child(const std::function<void()> &body) {
    std::fflush(nullptr); // the child must not flush the parent's buffers again
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
#if defined(__SANITIZE_ADDRESS__)
        // What the child leaves behind when it is ended is not a leak.
        __lsan_disable();
#endif
        close(pipe_fds[0]);
        dup2(pipe_fds[1], 2);
        body();
        _exit(0);
    }
    close(pipe_fds[1]);
    ChildResult result;
    char buffer[512];
    ssize_t n;
    while ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0)
        result.err.append(buffer, static_cast<size_t>(n));
    close(pipe_fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    return result;
}

// Caps the child's address space a little above what it uses now.
void limit_address_space(size_t headroom) {
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0;
    statm >> pages;
    const rlim_t limit = pages * static_cast<size_t>(sysconf(_SC_PAGESIZE)) + headroom;
    const rlimit cap{limit, limit};
    setrlimit(RLIMIT_AS, &cap);
}

// From here on, every malloc of this process (the plug-in's included: it
// binds malloc to the host executable's definition) returns NULL. Only used
// in forked children.
void refuse_malloc() { g_refuse_malloc = true; }

constexpr bool kAddressSanitizer =
#if defined(__SANITIZE_ADDRESS__)
    true;
#else
    false;
#endif

int by_value(const void *a, const void *b) { return value_of(const_cast<void *>(a)) - value_of(const_cast<void *>(b)); }

// The sanitizer announces each allocation it refuses on standard error.
std::string without_sanitizer_warnings(const std::string &err) {
    if (!kAddressSanitizer)
        return err;
    std::string kept;
    size_t start = 0;
    while (start < err.size()) {
        size_t end = err.find('\n', start);
        end = end == std::string::npos ? err.size() : end + 1;
        const std::string line = err.substr(start, end - start);
        if (line.find("WARNING: AddressSanitizer failed to allocate") == std::string::npos)
            kept += line;
        start = end;
    }
    return kept;
}

// arm runs in the child before any limit is set: it resolves what the
// failing call needs (looking symbols up may allocate) and returns the call.
struct OutOfMemoryCase {
    const char *name;
    const char *label;
    bool needs_exhausted_heap; // not possible under AddressSanitizer
    std::function<std::function<void()>(t_LL)> arm;
};

void PrintTo(const OutOfMemoryCase &c, std::ostream *os) { *os << c.name; }

class LLOutOfMemory : public ::testing::TestWithParam<OutOfMemoryCase> {};

TEST_P(LLOutOfMemory, PrintsTheMessageAndExitsWithStatus255) {
    const OutOfMemoryCase &c = GetParam();
    if (c.needs_exhausted_heap && kAddressSanitizer)
        GTEST_SKIP() << "AddressSanitizer's allocator does not run out of memory under an address-space limit";
    List list;
    append_ints(list, {3, 1, 2});
    ChildResult result = run_in_child([&] {
        const std::function<void()> fail = c.arm(list);
        if (c.needs_exhausted_heap)
            refuse_malloc();
        fail();
        std::fputs("returned", stderr);
    });
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(without_sanitizer_warnings(result.err), std::string("In ") + c.label + ": malloc returned NULL \n");
    EXPECT_STREQ(ARK_VAR(NullMall), "malloc returned NULL");
}

std::function<void()> insert(t_LL list, size_t size) {
    auto fn = ARK_FN(InsLastLLf);
    return [=] { fn(list, size, nullptr); };
}

INSTANTIATE_TEST_SUITE_P(
    Faults, LLOutOfMemory,
    ::testing::Values(
        OutOfMemoryCase{"InsertBeyondTheAddressSpaceLimit", "InsLLf", false,
                        [](t_LL list) {
                            // The sanitizer's shadow memory defeats the limit;
                            // there a request beyond its largest block fails.
                            if (kAddressSanitizer)
                                return insert(list, size_t{1} << 42);
                            limit_address_space(size_t{64} << 20);
                            return insert(list, size_t{1} << 30);
                        }},
        OutOfMemoryCase{"InsertSizeOverflowsTheBlock", "InsLLf", false,
                        [](t_LL list) { return insert(list, SIZE_MAX - 4); }},
        OutOfMemoryCase{"InsertIntoExhaustedHeap", "InsLLf", true,
                        [](t_LL list) { return insert(list, sizeof(int)); }},
        OutOfMemoryCase{"ConsLL", "CreatLL", true,
                        [](t_LL) -> std::function<void()> {
                            auto fn = ARK_FN(ConsLL);
                            return [=] { fn(); };
                        }},
        OutOfMemoryCase{"ConsCopyLL", "CreatLL", true,
                        [](t_LL list) -> std::function<void()> {
                            auto fn = ARK_FN(ConsCopyLL);
                            return [=] { fn(list); };
                        }},
        OutOfMemoryCase{"LookInLL", "LookInLL", true,
                        [](t_LL list) -> std::function<void()> {
                            auto fn = ARK_FN(LookInLL);
                            return [=] { fn(list); };
                        }},
        OutOfMemoryCase{"SysSortLL", "SysSortLL", true,
                        [](t_LL list) -> std::function<void()> {
                            auto fn = ARK_FN(SysSortLL);
                            return [=] { fn(list, by_value); };
                        }}),
    [](const ::testing::TestParamInfo<OutOfMemoryCase> &info) { return std::string(info.param.name); });

} // namespace
