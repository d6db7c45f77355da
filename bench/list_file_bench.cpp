// Start-up through the entry point with list files of 1,000 to 1,000,000
// addresses in three orders, and of 1,000,000 split into 1,000 sections,
// beside a plain line-by-line read of the same file as the reference. The memory benchmark reports
// the heap and resident bytes that each loaded address costs, and the peak
// of a start-up against the set's own size, up to 15,000,000 addresses.
//
//   build/release/bench/list_file_bench
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "callout/callout.h"
#include "config/startup.h"
#include "config/state.h"
#include "filter/address_set.h"

namespace macgate {
namespace {

enum Order : int64_t {
    kRandom = 0,     // uniformly random distinct addresses, as lists usually are
    kAscending = 1,  // the same addresses sorted
    kScrambled = 2,  // a fixed multiplicative stride over the address space
    // The random addresses split into sections of 1,000, the /24 networks
    // 10.B.C.0; the server-wide list holds none.
    kSections = 3,
};
constexpr int64_t kSectionSize = 1000;

constexpr uint64_t kAddressMask = (uint64_t{1} << 48) - 1;

std::vector<uint64_t> Addresses(int64_t count, int64_t order) {
    std::vector<uint64_t> addresses;
    addresses.reserve(static_cast<size_t>(count));
    if (order == kSections) {
        order = kRandom;
    }
    if (order == kScrambled) {
        // Multiplying by an odd constant is a bijection on 48-bit numbers.
        for (int64_t n = 0; n < count; ++n) {
            addresses.push_back(((n + 1) * 0x9E3779B97F4AULL + 0x5DEECE66DULL) & kAddressMask);
        }
        return addresses;
    }
    std::mt19937_64 random(20261209);
    std::unordered_set<uint64_t> seen;
    while (static_cast<int64_t>(addresses.size()) < count) {
        uint64_t address = random() & kAddressMask;
        if (seen.insert(address).second) {
            addresses.push_back(address);
        }
    }
    if (order == kAscending) {
        std::sort(addresses.begin(), addresses.end());
    }
    return addresses;
}

std::string TempPath(const char* stem) {
    std::string path = std::string("/tmp/macgate_bench_") + stem + "_XXXXXX";
    int fd = mkstemp(path.data());
    if (fd < 0) {
        std::perror(path.c_str());
        std::exit(1);
    }
    close(fd);
    static std::vector<std::string> paths;
    if (paths.empty()) {
        std::atexit([] {
            for (const std::string& each : paths) {
                std::remove(each.c_str());
            }
        });
    }
    paths.push_back(path);
    return path;
}

// The list file of `count` addresses in `order`, written once per run.
const std::string& ListPath(int64_t count, int64_t order) {
    static std::map<std::pair<int64_t, int64_t>, std::string> lists;
    auto found = lists.find({count, order});
    if (found != lists.end()) {
        return found->second;
    }
    std::string path = TempPath("list");
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        std::perror(path.c_str());
        std::exit(1);
    }
    std::fprintf(file, "MAC_ACTION = {DENY}\n");
    int64_t written = 0;
    for (uint64_t address : Addresses(count, order)) {
        if (order == kSections && written % kSectionSize == 0) {
            const int64_t section = written / kSectionSize;
            std::fprintf(file, "SCOPE 10.%d.%d.0/24 = {DENY}\n", static_cast<int>(section >> 8),
                         static_cast<int>(section & 0xFF));
        }
        std::fprintf(file, "%012llx\n", static_cast<unsigned long long>(address));
        ++written;
    }
    std::fclose(file);
    return lists.emplace(std::make_pair(count, order), path).first->second;
}

int64_t CountKeys(const AddressNode* node) {
    return node == nullptr ? 0 : 1 + CountKeys(node->left) + CountKeys(node->right);
}

// The keys of the list's server-wide set and of all its sections.
int64_t CountListKeys(const LoadedList& list) {
    int64_t count = CountKeys(list.AddressSet);
    for (const ListSection& section : list.Sections) {
        count += CountKeys(section.AddressSet);
    }
    return count;
}

// Points the configuration (environment variables on this platform) at the
// list and at two logs of this run.
void Configure(const std::string& list) {
    static const std::string errorLog = TempPath("error");
    static const std::string infoLog = TempPath("info");
    setenv("CalloutErrorLogFile", errorLog.c_str(), 1);
    setenv("CalloutInfoLogFile", infoLog.c_str(), 1);
    setenv("CalloutMacAddressListFile", list.c_str(), 1);
}

// Releases the set and hands its memory back, so that the next start-up
// begins from a heap like a fresh process's.
void Release() {
    StopFilter();
    malloc_trim(0);
}

// The whole start-up as the DHCP server runs it: registry, logs, list.
void StartUp(benchmark::State& state) {
    int64_t count = state.range(0);
    Configure(ListPath(count, state.range(1)));
    Release();
    for (auto _ : state) {
        CalloutTable table = {};
        DhcpServerCalloutEntry(nullptr, 0, &table);
        const LoadedList* list = ListInUse.load();
        benchmark::DoNotOptimize(list);
        state.PauseTiming();
        if (list == nullptr || CountListKeys(*list) != count) {
            state.SkipWithError("not every address was loaded");
        }
        Release();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * count);
}

// The reference: the same file read line by line with fgets, nothing else.
void ReadLines(benchmark::State& state) {
    int64_t count = state.range(0);
    const std::string& path = ListPath(count, state.range(1));
    for (auto _ : state) {
        FILE* file = std::fopen(path.c_str(), "r");
        if (file == nullptr) {
            state.SkipWithError("cannot open the list");
            return;
        }
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

// Bytes in use from malloc, blocks it mapped on their own included, and the
// set's blocks, which the platform maps itself.
size_t HeapBytes() {
    struct mallinfo2 info = mallinfo2();
    size_t bytes = info.uordblks + info.hblkhd;
    const LoadedList* list = ListInUse.load();
    const AddressBlock* blocks = list != nullptr ? list->AddressBlocks : nullptr;
    for (const AddressBlock* block = blocks; block != nullptr; block = block->next) {
        bytes += block->count * sizeof(AddressNode);
    }
    return bytes;
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

// A line "Name:   1234 kB" of /proc/self/status, in bytes.
int64_t StatusBytes(const char* name) {
    FILE* status = std::fopen("/proc/self/status", "r");
    int64_t bytes = 0;
    char line[256];
    const size_t length = std::strlen(name);
    while (status != nullptr && std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, name, length) == 0 && line[length] == ':') {
            bytes = std::atoll(line + length + 1) * 1024;
        }
    }
    if (status != nullptr) {
        std::fclose(status);
    }
    return bytes;
}

// Memory in use (malloc's chunk overhead included) and resident set growth
// per loaded address, after one start-up from an empty set; and the peak of
// the resident set during it, above where it stood before, against the
// bytes of the set's own nodes: what loading costs beyond the list it loads.
void StartUpMemory(benchmark::State& state) {
    int64_t count = state.range(0);
    Configure(ListPath(count, state.range(1)));
    double heapPerAddress = 0;
    double residentPerAddress = 0;
    double peakOverSet = 0;
    for (auto _ : state) {
        Release();
        // Writing 5 to clear_refs starts the peak (VmHWM) again from now.
        FILE* clear = std::fopen("/proc/self/clear_refs", "w");
        if (clear == nullptr || std::fputs("5", clear) < 0 || std::fclose(clear) != 0) {
            state.SkipWithError("cannot reset the peak resident set");
            return;
        }
        size_t heapBefore = HeapBytes();
        int64_t residentBefore = ResidentBytes();
        CalloutTable table = {};
        DhcpServerCalloutEntry(nullptr, 0, &table);
        heapPerAddress = static_cast<double>(HeapBytes() - heapBefore) / count;
        residentPerAddress = static_cast<double>(ResidentBytes() - residentBefore) / count;
        peakOverSet = static_cast<double>(StatusBytes("VmHWM") - residentBefore) /
                      (static_cast<double>(count) * sizeof(AddressNode));
    }
    Release();
    state.counters["heap_bytes_per_address"] = heapPerAddress;
    state.counters["resident_bytes_per_address"] = residentPerAddress;
    state.counters["peak_over_set"] = peakOverSet;
}

void Sizes(benchmark::internal::Benchmark* bench) {
    bench->ArgNames({"addresses", "order"});
    for (int64_t count : {1000, 100000, 1000000}) {
        for (int64_t order : {kRandom, kAscending, kScrambled}) {
            bench->Args({count, order});
        }
    }
    bench->Args({1000000, kSections});
    bench->Repetitions(5)->ReportAggregatesOnly(true)->Unit(benchmark::kMillisecond);
}

BENCHMARK(StartUpMemory)
    ->ArgNames({"addresses", "order"})
    ->Args({1000000, kRandom})
    ->Args({15000000, kRandom})
    ->Iterations(1)
    ->Repetitions(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(StartUp)->Apply(Sizes);
BENCHMARK(ReadLines)->Apply(Sizes);

}  // namespace
}  // namespace macgate

BENCHMARK_MAIN();
