// Loading list files of 1,000 to 1,000,000 addresses in random order, beside
// a plain line-by-line read of the same file as the reference. The memory
// benchmark reports the heap and resident bytes that each loaded address
// costs.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "config/state.h"
#include "filter/address_set.h"
#include "filter/list_file.h"

namespace macgate {
namespace {

// Distinct addresses in a scrambled order: multiplying by an odd constant is
// a bijection on 48-bit numbers.
uint64_t NthAddress(uint64_t n) {
    constexpr uint64_t kMask = (uint64_t{1} << 48) - 1;
    return ((n + 1) * 0x9E3779B97F4AULL + 0x5DEECE66DULL) & kMask;
}

// The list file of `count` addresses, written once per run.
const std::string& ListPath(int64_t count) {
    static std::map<int64_t, std::string> paths;
    auto found = paths.find(count);
    if (found != paths.end()) {
        return found->second;
    }
    char path[] = "/tmp/macgate_bench_list_XXXXXX";
    int fd = mkstemp(path);
    FILE* file = fd < 0 ? nullptr : fdopen(fd, "w");
    if (file == nullptr) {
        std::perror("list file");
        std::exit(1);
    }
    std::fprintf(file, "MAC_ACTION = {DENY}\n");
    for (int64_t i = 0; i < count; ++i) {
        std::fprintf(file, "%012llx\n", static_cast<unsigned long long>(NthAddress(i)));
    }
    std::fclose(file);
    static bool cleanupRegistered = false;
    if (!cleanupRegistered) {
        cleanupRegistered = true;
        std::atexit([] {
            for (const auto& entry : paths) {
                std::remove(entry.second.c_str());
            }
        });
    }
    return paths.emplace(count, path).first->second;
}

FILE* OpenList(int64_t count) {
    FILE* file = std::fopen(ListPath(count).c_str(), "r");
    if (file == nullptr) {
        std::perror("list file");
        std::exit(1);
    }
    return file;
}

int64_t CountKeys(const AddressNode* node) {
    return node == nullptr ? 0 : 1 + CountKeys(node->left) + CountKeys(node->right);
}

void LoadList(benchmark::State& state) {
    int64_t count = state.range(0);
    ListPath(count);
    for (auto _ : state) {
        FILE* file = OpenList(count);
        LoadAddressList(file);
        std::fclose(file);
        benchmark::DoNotOptimize(AddressSet);
        state.PauseTiming();
        if (CountKeys(AddressSet) != count) {
            state.SkipWithError("not every address was loaded");
        }
        AddressSet = AddressSetFree(AddressSet);
        // Hand the freed nodes back now, so that the next load starts from a
        // heap like a fresh process's instead of consolidating them itself.
        malloc_trim(0);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * count);
}

// The reference: the same file read line by line with fgets, nothing else.
void ReadLines(benchmark::State& state) {
    int64_t count = state.range(0);
    ListPath(count);
    for (auto _ : state) {
        FILE* file = OpenList(count);
        char line[100];
        int64_t lines = 0;
        while (std::fgets(line, sizeof line, file) != nullptr) {
            ++lines;
        }
        std::fclose(file);
        benchmark::DoNotOptimize(lines);
    }
    state.SetItemsProcessed(state.iterations() * count);
}

int64_t ResidentBytes() {
    long pages = 0;
    long resident = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm != nullptr) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) {
            resident = 0;
        }
        std::fclose(statm);
    }
    return static_cast<int64_t>(resident) * sysconf(_SC_PAGESIZE);
}

// Heap in use (malloc's chunk overhead included) and resident set growth per
// loaded address, measured over one load into an empty set.
void LoadListMemory(benchmark::State& state) {
    int64_t count = state.range(0);
    ListPath(count);
    double heapPerAddress = 0;
    double residentPerAddress = 0;
    for (auto _ : state) {
        AddressSet = AddressSetFree(AddressSet);
        malloc_trim(0);
        size_t heapBefore = mallinfo2().uordblks;
        int64_t residentBefore = ResidentBytes();
        FILE* file = OpenList(count);
        LoadAddressList(file);
        std::fclose(file);
        heapPerAddress = static_cast<double>(mallinfo2().uordblks - heapBefore) / count;
        residentPerAddress = static_cast<double>(ResidentBytes() - residentBefore) / count;
    }
    AddressSet = AddressSetFree(AddressSet);
    state.counters["heap_bytes_per_address"] = heapPerAddress;
    state.counters["resident_bytes_per_address"] = residentPerAddress;
}

BENCHMARK(LoadListMemory)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(LoadList)
    ->Arg(1000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(ReadLines)
    ->Arg(1000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace macgate

BENCHMARK_MAIN();
