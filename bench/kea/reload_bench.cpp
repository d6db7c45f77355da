// How long a list change takes in Kea, and what it costs the packet threads.
//
//   build/release/kea/kea_reload_bench
//
// 1. Through Kea's hooks manager, as kea-dhcp4 drives the library: start-up
//    (load() reading the list) and macgate-reload, for lists of 1,000 and
//    1,000,000 addresses, beside the reference of reading the same file
//    whole. Medians of five runs.
// 2. The switch itself, on the filter's own functions: two threads decide
//    packets without pause while a list of the same size is put in use. It
//    gives how long the switch takes until the old list may go, how long
//    releasing the old list takes, and the longest decision seen during a
//    switch beside the longest seen in an equally long stretch without one
//    (the reference): what packet threads are held for the switch, in
//    microseconds.
#include <cc/command_interpreter.h>
#include <cc/data.h>
#include <hooks/callout_handle.h>
#include <hooks/hooks_manager.h>
#include <log/logger_support.h>
#include <process/daemon.h>
#include <unistd.h>
#include <util/multi_threading_mgr.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "config/decision.h"
#include "config/startup.h"
#include "config/state.h"
#include "filter/list_file.h"
#include "filter/loaded_list.h"

using Clock = std::chrono::steady_clock;
using isc::data::Element;
using isc::hooks::HooksManager;

namespace {

constexpr int kRuns = 5;

double Seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::string ListText(int64_t count, uint64_t seed) {
    std::mt19937_64 random(seed);
    std::string text = "MAC_ACTION = {ALLOW}\n";
    char line[16];
    for (int64_t i = 0; i < count; ++i) {
        std::snprintf(line, sizeof line, "%012llx\n",
                      static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFull));
        text += line;
    }
    return text;
}

double ReadWhole(const std::string& path) {
    Clock::time_point start = Clock::now();
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    double took = Seconds(Clock::now() - start);
    if (bytes.empty()) {
        std::abort();
    }
    return took;
}

bool Reload() {
    boost::shared_ptr<isc::hooks::CalloutHandle> handle = HooksManager::createCalloutHandle();
    handle->setArgument("command", isc::config::createCommand("macgate-reload"));
    HooksManager::callCommandHandlers("macgate-reload", *handle);
    isc::data::ConstElementPtr answer;
    handle->getArgument("response", answer);
    return answer && answer->get("result")->intValue() == 0;
}

void KeaTimes(int64_t count, const std::string& dir) {
    const std::string list = dir + "/list.txt";
    std::ofstream(list, std::ios::binary) << ListText(count, 1);
    isc::data::ElementPtr parameters = Element::createMap();
    parameters->set("list-file", Element::create(list));
    isc::hooks::HookLibsCollection libraries = {{MACGATE_KEA_LIBRARY, parameters}};
    std::vector<double> reference, startup, reload;
    for (int run = 0; run < kRuns; ++run) {
        reference.push_back(ReadWhole(list));
        Clock::time_point start = Clock::now();
        if (!HooksManager::loadLibraries(libraries)) {
            std::fprintf(stderr, "Kea did not load %s\n", MACGATE_KEA_LIBRARY);
            std::exit(1);
        }
        startup.push_back(Seconds(Clock::now() - start));
        start = Clock::now();
        if (!Reload()) {
            std::fprintf(stderr, "macgate-reload failed\n");
            std::exit(1);
        }
        reload.push_back(Seconds(Clock::now() - start));
        HooksManager::prepareUnloadLibraries();
        HooksManager::unloadLibraries();
    }
    std::printf(
        "%9lld addresses  read whole %8.2f ms  start-up %8.2f ms  macgate-reload %8.2f ms\n",
        static_cast<long long>(count), Median(reference) * 1e3, Median(startup) * 1e3,
        Median(reload) * 1e3);
}

macgate::LoadedList* Build(const std::string& text) {
    FILE* stream = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    auto* list = new macgate::LoadedList;
    macgate::LoadAddressList(stream, *list);
    std::fclose(stream);
    return list;
}

// The longest decision of the two threads between two marks, in seconds.
struct Deciders {
    std::atomic<bool> stop{false};
    std::atomic<int64_t> longest[2] = {{0}, {0}};
    std::vector<std::thread> threads;

    void Start() {
        for (int t = 0; t < 2; ++t) {
            threads.emplace_back([this, t] {
                std::vector<uint8_t> message(300, 0);
                message[0] = 1;
                for (uint32_t i = 0; !stop.load(std::memory_order_relaxed); ++i) {
                    message[31] = static_cast<uint8_t>(i >> 16);
                    message[32] = static_cast<uint8_t>(i >> 8);
                    message[33] = static_cast<uint8_t>(i);
                    Clock::time_point start = Clock::now();
                    macgate::FilterPacket(message.data(), message.size());
                    int64_t took = (Clock::now() - start).count();
                    if (took > longest[t].load(std::memory_order_relaxed)) {
                        longest[t].store(took, std::memory_order_relaxed);
                    }
                }
            });
        }
    }
    void Mark() {
        longest[0] = 0;
        longest[1] = 0;
    }
    double Longest() const {
        return Seconds(Clock::duration(std::max(longest[0].load(), longest[1].load())));
    }
    void Stop() {
        stop = true;
        for (std::thread& thread : threads) {
            thread.join();
        }
    }
};

void SwitchTimes(int64_t count) {
    const std::string texts[2] = {ListText(count, 2), ListText(count, 3)};
    macgate::PublishList(Build(texts[0]));
    Deciders deciders;
    deciders.Start();
    std::vector<double> switchTime, releaseTime, duringSwitch, withoutSwitch;
    for (int run = 0; run < kRuns; ++run) {
        macgate::LoadedList* next = Build(texts[(run + 1) % 2]);
        // The reference: an equally long stretch of decisions, no switch.
        deciders.Mark();
        Clock::time_point start = Clock::now();
        macgate::LoadedList* old = macgate::ListInUse.exchange(next);
        macgate::WaitForListReaders();
        Clock::time_point switched = Clock::now();
        duringSwitch.push_back(deciders.Longest());
        macgate::FreeLoadedList(*old);
        delete old;
        releaseTime.push_back(Seconds(Clock::now() - switched));
        switchTime.push_back(Seconds(switched - start));
        deciders.Mark();
        std::this_thread::sleep_for(
            std::max(switched - start, Clock::duration(std::chrono::microseconds(50))));
        withoutSwitch.push_back(deciders.Longest());
    }
    deciders.Stop();
    macgate::PublishList(nullptr);
    std::printf(
        "%9lld addresses  switch %8.1f us  release of the old list %8.1f us  longest decision "
        "during the switch %6.1f us, without one %6.1f us\n",
        static_cast<long long>(count), Median(switchTime) * 1e6, Median(releaseTime) * 1e6,
        Median(duringSwitch) * 1e6, Median(withoutSwitch) * 1e6);
}

}  // namespace

int main() {
    char dir[] = "/tmp/macgate-reload-bench.XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        return 1;
    }
    setenv("KEA_LOCKFILE_DIR", "none", 1);
    isc::log::initLogger("macgate-bench", isc::log::ERROR, 0, nullptr, false);
    isc::process::Daemon::setProcName("kea-dhcp4");
    HooksManager::registerHook("buffer4_receive");
    std::printf("Kea, medians of %d runs:\n", kRuns);
    for (int64_t count : {int64_t{1000}, int64_t{1000000}}) {
        KeaTimes(count, dir);
    }
    std::printf("\nThe switch while two threads decide, medians of %d switches:\n", kRuns);
    for (int64_t count : {int64_t{1000}, int64_t{1000000}}) {
        SwitchTimes(count);
    }
    std::remove((std::string(dir) + "/list.txt").c_str());
    rmdir(dir);
    return 0;
}
