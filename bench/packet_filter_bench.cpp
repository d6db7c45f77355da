// Cost of one packet decision against sets of random addresses, next to a
// std::unordered_set lookup of the same keys, to the decision as it was
// before lists could be replaced while decisions run, to a list that also
// holds prefix entries and to lists with 0, 10 and 1,000 sections, with the
// count of allocations per decision (the allocation test fails when it is
// not zero); and decisions per second on one and two threads.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "callout/callout.h"
#include "config/info_log_writer.h"
#include "config/logs.h"
#include "config/state.h"
#include "filter/address_set.h"
#include "filter/list_file.h"
#include "filter/packet_filter.h"
#include "platform/platform.h"
#include "tests/allocation_counter.h"

namespace {

using macgate::ListInUse;
using macgate::LoadedList;

// The list the address-only decisions are made on, in use while they run.
LoadedList AddressList;

constexpr size_t kMessageSize = 300;
constexpr size_t kChaddr = 28;

std::string KeyText(uint64_t address) {
    char text[macgate::kAddressKeySize];
    std::snprintf(text, sizeof text, "%012llx", static_cast<unsigned long long>(address));
    return text;
}

uint64_t AddressOf(const uint8_t* message) {
    uint64_t address = 0;
    for (size_t i = 0; i < 6; ++i) {
        address = address << 8 | message[kChaddr + i];
    }
    return address;
}

void PutAddress(uint8_t* message, uint64_t address) {
    for (size_t i = 0; i < 6; ++i) {
        message[kChaddr + 5 - i] = static_cast<uint8_t>(address >> (8 * i));
    }
}

// Everything for one set size; rebuilt when the size changes, so only one
// size is held in memory at a time.
struct Workload {
    size_t size = 0;
    std::vector<uint64_t> hits;    // the set's keys, shuffled
    std::vector<uint64_t> misses;  // keys not in the set
    std::unordered_set<uint64_t> numbers;
    std::unordered_set<std::string> texts;
};

Workload& WorkloadFor(size_t size) {
    static Workload work;
    // The threads of one run find the set that the first of them built.
    static std::mutex building;
    std::lock_guard<std::mutex> guard(building);
    if (work.size == size) {
        return work;
    }
    ListInUse.store(nullptr);
    macgate::FreeLoadedList(AddressList);
    work = Workload();
    work.size = size;
    std::mt19937_64 random(size);
    const uint64_t mask = (uint64_t{1} << 48) - 1;
    while (work.numbers.size() < size) {
        uint64_t address = random() & mask;
        if (address != 0 && work.numbers.insert(address).second) {
            work.hits.push_back(address);
        }
    }
    // The set is built as the loader builds it; each structure's memory is
    // allocated in a pass of its own.
    macgate::PendingKeys pending = {};
    for (uint64_t address : work.hits) {
        AddressList.AddressSet = macgate::AddressSetAdd(
            KeyText(address).c_str(), AddressList.AddressSet, pending, &AddressList.AddressBlocks);
    }
    AddressList.AddressSet =
        macgate::AddressSetAddPending(AddressList.AddressSet, pending, &AddressList.AddressBlocks);
    for (uint64_t address : work.hits) {
        work.texts.insert(KeyText(address));
    }
    while (work.misses.size() < size) {
        uint64_t address = random() & mask;
        if (address != 0 && work.numbers.count(address) == 0) {
            work.misses.push_back(address);
        }
    }
    std::shuffle(work.hits.begin(), work.hits.end(), random);
    AddressList.FilterAction = 1;  // ALLOW: hits get 1, misses 0
    ListInUse.store(&AddressList);
    macgate::InfoLogEnabled = 0;
    return work;
}

// What a message carries besides its client's address: nothing.
struct AddressOnly {
    void operator()(uint8_t* /*message*/, size_t /*key*/) const {}
};

// Runs `decide` on a message per key in turn and reports allocations and
// the share of processed packets; `fill` completes the message of the key
// with the given index.
template <typename Decide, typename Fill = AddressOnly>
void RunDecisions(benchmark::State& state, const std::vector<uint64_t>& keys, Decide decide,
                  Fill fill = {}) {
    uint8_t message[kMessageSize] = {1, 1, 6};
    // Threads of one run start apart in the keys.
    size_t next = keys.size() / static_cast<size_t>(state.threads()) *
                  static_cast<size_t>(state.thread_index());
    uint64_t processed = 0;
    uint64_t before = macgate::Allocations.load();
    for (auto _ : state) {
        PutAddress(message, keys[next]);
        fill(message, next);
        if (++next == keys.size()) {
            next = 0;
        }
        int32_t flag = decide(message);
        benchmark::DoNotOptimize(flag);
        processed += static_cast<uint64_t>(flag);
    }
    uint64_t allocations = macgate::Allocations.load() - before;
    state.counters["allocs_per_decision"] =
        benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
    state.counters["processed"] =
        benchmark::Counter(static_cast<double>(processed), benchmark::Counter::kAvgIterations);
    state.SetItemsProcessed(state.iterations());
}

// The process flag that `hook` gives for a message, called as the server
// calls it.
template <uint32_t (*Hook)(uint8_t**, uint32_t*, uint32_t, void*, void**, int32_t*)>
int32_t HookFlag(uint8_t* message) {
    uint8_t* packet = message;
    uint32_t size = kMessageSize;
    int32_t flag = -1;
    Hook(&packet, &size, 0, nullptr, nullptr, &flag);
    return flag;
}

int32_t HookDecision(uint8_t* message) {
    return HookFlag<DhcpNewPktHook>(message);
}

void BM_Decision(benchmark::State& state, bool hits) {
    Workload& work = WorkloadFor(static_cast<size_t>(state.range(0)));
    RunDecisions(state, hits ? work.hits : work.misses, HookDecision);
}

// The decision of the packet hook as it was before the list in use became
// one value that can be replaced while decisions run: the set, its action
// and its prefix lengths in process-wide variables, read without a reader
// mark. The same set and lookup as the decision above, so that the two
// differ only by what the switch costs.
namespace before_switch {

const macgate::AddressNode* AddressSet = nullptr;
uint16_t PrefixLengths = 0;
unsigned char FilterAction = 0;
int32_t InfoLogEnabled = 0;

constexpr size_t kHardwareAddressOffset = 28;
constexpr size_t kHardwareAddressBytes = macgate::kShortestMessage - kHardwareAddressOffset;
constexpr char kHexDigits[] = "0123456789abcdef";
constexpr char kZeroKey[] = "000000000000";

bool IsListed(const char* key, const macgate::AddressNode* root) {
    if (macgate::AddressSetFind(key, root) != nullptr) {
        return true;
    }
    const unsigned lengths = PrefixLengths;
    if (lengths == 0) {
        return false;
    }
    char probe[macgate::kAddressKeySize];
    std::memcpy(probe, key, sizeof probe);
    for (int digits = macgate::kLongestPrefix; digits >= 1; --digits) {
        probe[digits] = macgate::kPrefixPad;
        if ((lengths & (1u << digits)) != 0 && macgate::AddressSetFind(probe, root) != nullptr) {
            return true;
        }
    }
    return false;
}

void ClientAddressKey(const uint8_t* message, char (&key)[macgate::kAddressKeySize]) {
    for (size_t i = 0; i < kHardwareAddressBytes; ++i) {
        uint8_t byte = message[kHardwareAddressOffset + i];
        key[2 * i] = kHexDigits[byte >> 4];
        key[2 * i + 1] = kHexDigits[byte & 0x0F];
    }
    key[macgate::kAddressKeySize - 1] = '\0';
}

// Not inlined, as it stood in a file of its own beside the hook's.
__attribute__((noinline)) int32_t FilterPacket(const uint8_t* message, size_t length) {
    const macgate::AddressNode* root = AddressSet;
    const int32_t unlisted = (root == nullptr || FilterAction == 0) ? 1 : 0;
    if (message == nullptr ||
        (length != macgate::kUnknownLength && length < macgate::kShortestMessage)) {
        return unlisted;
    }
    char key[macgate::kAddressKeySize];
    ClientAddressKey(message, key);
    if (std::memcmp(key, kZeroKey, sizeof kZeroKey) == 0) {
        return 1;
    }
    int32_t verdict = unlisted;
    if (root != nullptr && IsListed(key, root)) {
        verdict = FilterAction != 0 ? 1 : 0;
    }
    if (InfoLogEnabled == 1) {
        std::abort();  // the info log stays off here
    }
    return verdict;
}

__attribute__((noinline)) uint32_t DhcpNewPktHook(uint8_t** packet, uint32_t* packetSize,
                                                  uint32_t /*ipAddress*/, void* /*reserved*/,
                                                  void** /*pktContext*/, int32_t* processIt) {
    const uint8_t* message = packet != nullptr ? *packet : nullptr;
    size_t length = packetSize != nullptr ? *packetSize : macgate::kUnknownLength;
    int32_t verdict = FilterPacket(message, length);
    if (processIt != nullptr) {
        *processIt = verdict;
    }
    return 0;
}

}  // namespace before_switch

void BM_DecisionBeforeSwitch(benchmark::State& state, bool hits) {
    Workload& work = WorkloadFor(static_cast<size_t>(state.range(0)));
    before_switch::AddressSet = AddressList.AddressSet;
    before_switch::PrefixLengths = AddressList.PrefixLengths;
    before_switch::FilterAction = AddressList.FilterAction;
    RunDecisions(state, hits ? work.hits : work.misses, HookFlag<before_switch::DhcpNewPktHook>);
}

void BM_UnorderedSetNumber(benchmark::State& state, bool hits) {
    Workload& work = WorkloadFor(static_cast<size_t>(state.range(0)));
    RunDecisions(state, hits ? work.hits : work.misses, [&](const uint8_t* message) {
        return static_cast<int32_t>(work.numbers.count(AddressOf(message)));
    });
}

void BM_UnorderedSetText(benchmark::State& state, bool hits) {
    Workload& work = WorkloadFor(static_cast<size_t>(state.range(0)));
    RunDecisions(state, hits ? work.hits : work.misses, [&](const uint8_t* message) {
        char key[macgate::kAddressKeySize];
        macgate::ClientAddressKey(message, key);
        // 12 characters fit std::string's inline buffer: no allocation.
        return static_cast<int32_t>(work.texts.count(std::string(key, sizeof key - 1)));
    });
}

// The info log as it was written before it had a writer of its own: the
// line formatted into the stream and flushed under one lock, on the packet
// thread. Kept as the reference that the queued log is measured against.
int32_t SynchronousLogDecision(uint8_t* message) {
    macgate::PacketDecision decision;
    {
        macgate::ListReader reader;
        decision = macgate::DecidePacket(ListInUse.load(), message, kMessageSize, 0);
    }
    std::lock_guard<std::mutex> guard(macgate::InfoLogLock);
    char text[macgate::kTimestampTextSize] = {};
    macgate::FormatLogTimestamp(text);
    text[24] = '\0';
    macgate::LogMessage(macgate::InfoLog, "%s %s %s\n", text, decision.key,
                        decision.verdict != 0 ? "Allow" : "Deny");
    macgate::Platform.FlushFile(macgate::InfoLog);
    return decision.verdict;
}

// One decision with its line in the info log, on 1 and 4 packet threads at
// once: `queued` through the writer's queue (lines the queue had no room
// for are counted in "dropped"), else written and flushed on the packet
// thread.
void BM_DecisionInfoLogOn(benchmark::State& state, bool queued) {
    static std::string path;
    Workload& work = WorkloadFor(static_cast<size_t>(state.range(0)));
    if (state.thread_index() == 0) {
        path = "/tmp/macgate-bench-" + std::to_string(std::random_device()()) + ".log";
        std::lock_guard<std::mutex> guard(macgate::InfoLogLock);
        macgate::InfoLog =
            macgate::Platform.OpenFile(path.c_str(), "a", macgate::FileShare::kDenyWrite);
        if (macgate::InfoLog != nullptr && queued) {
            macgate::StartInfoLogWriter();
        }
        macgate::InfoLogEnabled = 1;
    }
    const uint64_t droppedBefore = macgate::InfoLogLinesDropped();
    // The time zone is set up on first use.
    uint8_t warmup[kMessageSize] = {1, 1, 6};
    PutAddress(warmup, work.hits[0]);
    queued ? HookDecision(warmup) : SynchronousLogDecision(warmup);

    RunDecisions(state, work.hits, queued ? HookDecision : SynchronousLogDecision);
    state.SetItemsProcessed(state.iterations());
    state.counters["dropped"] =
        benchmark::Counter(static_cast<double>(macgate::InfoLogLinesDropped() - droppedBefore),
                           benchmark::Counter::kAvgIterations);

    if (state.thread_index() == 0) {
        macgate::InfoLogEnabled = 0;
        std::lock_guard<std::mutex> guard(macgate::InfoLogLock);
        macgate::StopInfoLogWriter();
        if (macgate::InfoLog != nullptr) {
            macgate::Platform.CloseFile(macgate::InfoLog);
        }
        macgate::InfoLog = nullptr;
        std::remove(path.c_str());
    }
}

// The 100,000 addresses of the address-only case plus 1,000 six-digit
// prefixes, loaded through the list loader into a set of their own, which
// each run puts in place of the address-only set and takes out again.
struct PrefixWorkload {
    LoadedList list;
    bool loaded = false;
    std::vector<uint64_t> addressHits;  // listed addresses
    std::vector<uint64_t> prefixHits;   // unlisted addresses inside a prefix
    std::vector<uint64_t> misses;       // neither
};

constexpr size_t kPrefixListAddresses = 100000;
constexpr size_t kPrefixListPrefixes = 1000;

PrefixWorkload PrefixWork;

PrefixWorkload& PrefixWorkloadFor() {
    PrefixWorkload& work = PrefixWork;
    if (work.loaded) {
        return work;
    }
    const Workload& addresses = WorkloadFor(kPrefixListAddresses);
    std::mt19937_64 random(kPrefixListPrefixes);
    std::unordered_set<uint64_t> prefixes;
    FILE* list = std::tmpfile();
    std::fputs("MAC_ACTION = {ALLOW}\n", list);
    for (uint64_t address : addresses.hits) {
        std::fprintf(list, "%s\n", KeyText(address).c_str());
    }
    while (prefixes.size() < kPrefixListPrefixes) {
        uint64_t prefix = random() & 0xFFFFFF;
        if (prefixes.insert(prefix).second) {
            std::fprintf(list, "%06llx*\n", static_cast<unsigned long long>(prefix));
        }
    }
    std::rewind(list);
    macgate::LoadAddressList(list, work.list);
    std::fclose(list);
    work.loaded = true;

    std::vector<uint64_t> ouis(prefixes.begin(), prefixes.end());
    work.addressHits = addresses.hits;
    while (work.prefixHits.size() < kPrefixListAddresses) {
        uint64_t address = ouis[random() % ouis.size()] << 24 | (random() & 0xFFFFFF);
        if (addresses.numbers.count(address) == 0) {
            work.prefixHits.push_back(address);
        }
    }
    while (work.misses.size() < kPrefixListAddresses) {
        uint64_t address = random() & ((uint64_t{1} << 48) - 1);
        if (address != 0 && prefixes.count(address >> 24) == 0 &&
            addresses.numbers.count(address) == 0) {
            work.misses.push_back(address);
        }
    }
    return work;
}

enum PrefixCase { kAddressHit, kPrefixHit, kPrefixMiss };

void BM_DecisionWithPrefixes(benchmark::State& state, PrefixCase which) {
    PrefixWorkload& work = PrefixWorkloadFor();
    const std::vector<uint64_t>& keys = which == kAddressHit  ? work.addressHits
                                        : which == kPrefixHit ? work.prefixHits
                                                              : work.misses;
    LoadedList* saved = ListInUse.exchange(&work.list);
    RunDecisions(state, keys, HookDecision);
    ListInUse.store(saved);
}

// A list of 1,000 server-wide addresses beside `sections` sections, the
// /24 networks 10.B.C.0, of 100 addresses each; every request is relayed
// (giaddr set). Outside: from networks that no section holds, so that the
// server-wide list decides after a section lookup that finds none, as with
// no sections at all. Inside: from the sections' networks, whose own
// entries decide.
constexpr size_t kSectionListAddresses = 1000;
constexpr size_t kSectionAddresses = 100;

struct SectionWorkload {
    LoadedList list;
    std::vector<uint64_t> outsideKeys;
    std::vector<uint32_t> outsideRelays;
    std::vector<uint64_t> insideKeys;
    std::vector<uint32_t> insideRelays;
};

uint32_t SectionNetwork(size_t section) {
    return 0x0A000000u | static_cast<uint32_t>(section) << 8;
}

SectionWorkload& SectionWorkloadFor(int sections) {
    static std::vector<std::pair<int, SectionWorkload*>> built;
    for (auto& [count, work] : built) {
        if (count == sections) {
            return *work;
        }
    }
    SectionWorkload* work = new SectionWorkload;
    built.emplace_back(sections, work);
    std::mt19937_64 random(static_cast<uint64_t>(sections) + 1);
    const uint64_t mask = (uint64_t{1} << 48) - 1;
    FILE* list = std::tmpfile();
    std::fputs("MAC_ACTION = {ALLOW}\n", list);
    for (size_t i = 0; i < kSectionListAddresses; ++i) {
        work->outsideKeys.push_back(random() & mask);
        std::fprintf(list, "%s\n", KeyText(work->outsideKeys.back()).c_str());
        // 11.B.C.1: no section holds it.
        work->outsideRelays.push_back(0x0B000001u | static_cast<uint32_t>(random() & 0xFFFF) << 8);
    }
    for (int section = 0; section < sections; ++section) {
        const uint32_t network = SectionNetwork(static_cast<size_t>(section));
        std::fprintf(list, "SCOPE 10.%u.%u.0/24 = {ALLOW}\n", (network >> 16) & 0xFF,
                     (network >> 8) & 0xFF);
        for (size_t i = 0; i < kSectionAddresses; ++i) {
            work->insideKeys.push_back(random() & mask);
            work->insideRelays.push_back(network | 1);
            std::fprintf(list, "%s\n", KeyText(work->insideKeys.back()).c_str());
        }
    }
    std::rewind(list);
    macgate::LoadAddressList(list, work->list);
    std::fclose(list);
    // Requests in a random order over the sections.
    std::vector<size_t> order(work->insideKeys.size());
    for (size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::shuffle(order.begin(), order.end(), random);
    std::vector<uint64_t> keys;
    std::vector<uint32_t> relays;
    for (size_t i : order) {
        keys.push_back(work->insideKeys[i]);
        relays.push_back(work->insideRelays[i]);
    }
    work->insideKeys = keys;
    work->insideRelays = relays;
    return *work;
}

void BM_DecisionWithSections(benchmark::State& state, bool inside) {
    SectionWorkload& work = SectionWorkloadFor(static_cast<int>(state.range(0)));
    const std::vector<uint64_t>& keys = inside ? work.insideKeys : work.outsideKeys;
    const std::vector<uint32_t>& relays = inside ? work.insideRelays : work.outsideRelays;
    LoadedList* saved = ListInUse.exchange(&work.list);
    // The relay agent's address in giaddr.
    RunDecisions(state, keys, HookDecision, [&relays](uint8_t* message, size_t key) {
        for (size_t i = 0; i < 4; ++i) {
            message[24 + i] = static_cast<uint8_t>(relays[key] >> (24 - 8 * i));
        }
    });
    ListInUse.store(saved);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    // Grouped by size so that each set is built once.
    for (int64_t size : {1000, 100000, 1000000}) {
        for (bool hits : {true, false}) {
            const char* kind = hits ? "/hit" : "/miss";
            benchmark::RegisterBenchmark((std::string("Decision") + kind).c_str(), BM_Decision,
                                         hits)
                ->Arg(size);
            benchmark::RegisterBenchmark((std::string("DecisionBeforeSwitch") + kind).c_str(),
                                         BM_DecisionBeforeSwitch, hits)
                ->Arg(size);
            benchmark::RegisterBenchmark((std::string("UnorderedSetUint64") + kind).c_str(),
                                         BM_UnorderedSetNumber, hits)
                ->Arg(size);
            benchmark::RegisterBenchmark((std::string("UnorderedSetString") + kind).c_str(),
                                         BM_UnorderedSetText, hits)
                ->Arg(size);
        }
        if (size == 100000) {
            // Decisions per second (items_per_second) on one and two threads.
            benchmark::RegisterBenchmark("DecisionThreads/hit", BM_Decision, true)
                ->Arg(size)
                ->Threads(1)
                ->Threads(2)
                ->UseRealTime();
            for (bool queued : {false, true}) {
                benchmark::RegisterBenchmark(
                    queued ? "DecisionInfoLogOn/queued" : "DecisionInfoLogOn/synchronous",
                    BM_DecisionInfoLogOn, queued)
                    ->Arg(size)
                    ->Threads(1)
                    ->Threads(4)
                    ->UseRealTime();
            }
            benchmark::RegisterBenchmark("DecisionWithPrefixes/address-hit",
                                         BM_DecisionWithPrefixes, kAddressHit);
            benchmark::RegisterBenchmark("DecisionWithPrefixes/prefix-hit", BM_DecisionWithPrefixes,
                                         kPrefixHit);
            benchmark::RegisterBenchmark("DecisionWithPrefixes/miss", BM_DecisionWithPrefixes,
                                         kPrefixMiss);
        }
    }
    for (int sections : {0, 10, 1000}) {
        benchmark::RegisterBenchmark("DecisionWithSections/outside", BM_DecisionWithSections, false)
            ->Arg(sections);
        if (sections > 0) {
            benchmark::RegisterBenchmark("DecisionWithSections/inside", BM_DecisionWithSections,
                                         true)
                ->Arg(sections);
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    ListInUse.store(nullptr);
    macgate::FreeLoadedList(AddressList);
    macgate::FreeLoadedList(PrefixWork.list);
    return 0;
}
