// Sorting speed of MergeSortLL against std::list::sort and SysSortLL on the
// same random keys with the same comparison function, called through a
// pointer in all three.
#include <benchmark/benchmark.h>

#include <list>
#include <random>
#include <vector>

#include "LL.h"

extern "C" void trace(const char *, ...) {}

namespace {

int compare_ints(const void *a, const void *b) {
    const int x = *static_cast<const int *>(a);
    const int y = *static_cast<const int *>(b);
    return (x > y) - (x < y);
}

std::vector<int> random_keys(size_t n) {
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> key;
    std::vector<int> keys(n);
    for (int &k : keys)
        k = key(rng);
    return keys;
}

// Each round sorts the same unsorted list: the elements are relinked in
// their first order (allocation order, as a freshly built list has) while
// the clock is stopped.
template <t_LL (*Sort)(t_LL, int (*)(const void *, const void *))> void sort_ll(benchmark::State &state) {
    const std::vector<int> keys = random_keys(static_cast<size_t>(state.range(0)));
    t_LL list = ConsLL();
    std::vector<void *> elements;
    elements.reserve(keys.size());
    for (int k : keys)
        elements.push_back(InsLastLLf(list, sizeof k, &k));
    for (auto _ : state) {
        state.PauseTiming();
        l_linit(&list->links.u.ll);
        for (void *el : elements)
            LinkLastLL(list, el);
        state.ResumeTiming();
        Sort(list, compare_ints);
        benchmark::DoNotOptimize(list);
    }
    DestLL(list);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_MergeSortLL(benchmark::State &state) { sort_ll<MergeSortLL>(state); }
void BM_SysSortLL(benchmark::State &state) { sort_ll<SysSortLL>(state); }

void BM_StdListSort(benchmark::State &state) {
    const std::vector<int> keys = random_keys(static_cast<size_t>(state.range(0)));
    int (*compare)(const void *, const void *) = compare_ints;
    benchmark::DoNotOptimize(compare); // keep the call indirect, as in the C sorts
    std::list<int> list;
    for (auto _ : state) {
        state.PauseTiming();
        list.assign(keys.begin(), keys.end());
        state.ResumeTiming();
        list.sort([compare](const int &a, const int &b) { return compare(&a, &b) < 0; });
        benchmark::DoNotOptimize(list);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

} // namespace

BENCHMARK(BM_MergeSortLL)->RangeMultiplier(10)->Range(1000, 1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StdListSort)->RangeMultiplier(10)->Range(1000, 1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SysSortLL)->RangeMultiplier(10)->Range(1000, 1000000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
