#include "config/info_log_writer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "config/state.h"
#include "platform/platform.h"

namespace macgate {
namespace {

struct Slot {
    char text[kInfoLogLineSize];
    uint16_t length;
    // The lines that found the queue full since the line before this one was
    // queued: the log says so right before this line.
    uint32_t droppedBefore;
};

// Lines [head, tail) of the ring wait for the writer, who reads them without
// the lock: a packet thread only fills the slot at tail, and only while
// fewer than kInfoLogQueueLines wait.
struct Queue {
    std::mutex lock;
    std::condition_variable wake;  // the writer: lines, or stop
    std::condition_variable done;  // WaitForInfoLogWriter: the head moved
    Slot slots[kInfoLogQueueLines];
    uint64_t head = 0;
    uint64_t tail = 0;
    bool taking = false;
    bool stopping = false;
    bool writerAsleep = false;
    uint32_t droppedFull = 0;  // since the last line was queued
    std::thread writer;
};
Queue Lines;

std::atomic<uint64_t> Dropped{0};
std::atomic<InfoLogDropReport> DropReport{nullptr};

constexpr std::chrono::minutes kReportInterval(1);
constexpr std::chrono::milliseconds kNap(1);

// The writer's own state, touched by its thread alone.
struct WriterState {
    uint64_t unreported = 0;  // dropped, and not yet said in the log
    bool dropping = false;    // in a run of drops
    bool reportedOnce = false;
    std::chrono::steady_clock::time_point lastReport;
};

// Says that lines are being dropped, once per run of drops and at most
// once a minute.
void ReportDrops(WriterState& state, int error) {
    if (state.dropping) {
        return;
    }
    state.dropping = true;
    const auto now = std::chrono::steady_clock::now();
    if (state.reportedOnce && now - state.lastReport < kReportInterval) {
        return;
    }
    state.reportedOnce = true;
    state.lastReport = now;
    if (InfoLogDropReport report = DropReport.load()) {
        report(Dropped.load(), error);
    }
}

// `count` lines that a write could not take were dropped, for `error`.
void NoteDrops(WriterState& state, uint64_t count, int error) {
    if (count == 0) {
        return;
    }
    state.unreported += count;
    Dropped.fetch_add(count);
    ReportDrops(state, error);
}

size_t CountLines(const char* text, size_t size) {
    size_t lines = 0;
    for (size_t i = 0; i < size; ++i) {
        lines += text[i] == '\n' ? 1 : 0;
    }
    return lines;
}

// What one system write takes at most: the writer allocates nothing.
char Batch[64 * 1024];

// Writes the lines [head, tail), in as few writes as the batch allows, each
// after the count of the lines dropped before it. Lines that do not reach
// the file are dropped too: written later, they would follow newer ones.
// With `last`, a count that no line follows (`trailing`: the lines that
// found the queue full after the last one queued) is written alone.
void WriteLines(WriterState& state, uint64_t head, uint64_t tail, bool last, uint32_t trailing) {
    uint64_t next = head;
    for (;;) {
        // The lines that found the queue full before this write's first line
        // (counted in Dropped when they were dropped).
        uint64_t full = 0;
        if (next < tail) {
            full = Lines.slots[next % kInfoLogQueueLines].droppedBefore;
        } else if (last) {
            full = trailing;
            trailing = 0;
        }
        state.unreported += full;
        if (next >= tail && !(last && state.unreported != 0)) {
            return;
        }
        size_t size = 0;
        if (state.unreported != 0) {
            char line[kInfoLogLineSize + 1];
            size = FormatDroppedLine(state.unreported, line);
            std::memcpy(Batch, line, size);
        }
        const size_t countSize = size;
        const uint64_t first = next;
        for (; next < tail; ++next) {
            const Slot& slot = Lines.slots[next % kInfoLogQueueLines];
            // The count of the lines that found the queue full begins a write
            // of its own, so that it stands where they were dropped.
            if (size + slot.length > sizeof Batch || (next != first && slot.droppedBefore != 0)) {
                break;
            }
            std::memcpy(Batch + size, slot.text, slot.length);
            size += slot.length;
        }
        errno = 0;
        const size_t written = Platform.AppendLines(InfoLog, Batch, size);
        if (written == size) {
            state.unreported = 0;
            state.dropping = false;
            if (full != 0) {
                ReportDrops(state, 0);
            }
            continue;
        }
        const int error = errno != 0 ? errno : EIO;
        if (written >= countSize) {
            state.unreported = 0;
        }
        const size_t from = std::max(written, countSize);
        // A failed write is the cause of a full queue too: said first.
        NoteDrops(state, CountLines(Batch + from, size - from), error);
        if (full != 0) {
            ReportDrops(state, error);
        }
        if (next >= tail) {
            return;
        }
    }
}

void WriteUntilStopped() {
    WriterState state;
    std::unique_lock<std::mutex> guard(Lines.lock);
    bool wrote = false;
    for (;;) {
        // After a write the writer looks again a moment later by itself, so
        // that a steady stream of lines costs the packet threads no wake-up
        // call each; only an idle writer is woken by the next line.
        while (Lines.head == Lines.tail && !Lines.stopping) {
            if (wrote) {
                wrote = false;
                Lines.wake.wait_for(guard, kNap);
            } else {
                Lines.writerAsleep = true;
                Lines.wake.wait(guard);
            }
        }
        wrote = true;
        Lines.writerAsleep = false;
        const uint64_t head = Lines.head;
        const uint64_t tail = Lines.tail;
        // Stop takes no line after it, so these are the last.
        const bool last = Lines.stopping;
        // Lines that found the queue full after the last one queued.
        const uint32_t trailing = last ? Lines.droppedFull : 0;
        guard.unlock();
        WriteLines(state, head, tail, last, trailing);
        guard.lock();
        Lines.head = tail;
        Lines.done.notify_all();
        if (last) {
            return;
        }
    }
}

// Puts a line at the tail, under the lock; true when the writer sleeps and
// has to be woken.
bool PutLine(const char* line, size_t length) {
    if (length > kInfoLogLineSize) {
        return false;  // no line of ours is that long
    }
    if (Lines.tail - Lines.head == kInfoLogQueueLines) {
        ++Lines.droppedFull;
        Dropped.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    Slot& slot = Lines.slots[Lines.tail % kInfoLogQueueLines];
    std::memcpy(slot.text, line, length);
    slot.length = static_cast<uint16_t>(length);
    slot.droppedBefore = Lines.droppedFull;
    Lines.droppedFull = 0;
    ++Lines.tail;
    const bool wake = Lines.writerAsleep;
    Lines.writerAsleep = false;
    return wake;
}

// Waits, under the lock, until the queue has room or takes no more lines.
void WaitForRoom(std::unique_lock<std::mutex>& guard) {
    Lines.done.wait(guard,
                    [] { return !Lines.taking || Lines.tail - Lines.head < kInfoLogQueueLines; });
}

}  // namespace

size_t FormatDroppedLine(uint64_t dropped, char (&line)[kInfoLogLineSize + 1]) {
    const int length = std::snprintf(
        line, sizeof line, "%llu %s not written\n", static_cast<unsigned long long>(dropped),
        dropped == 1 ? "line of this log was" : "lines of this log were");
    return length > 0 ? static_cast<size_t>(length) : 0;
}

bool StartInfoLogWriter(const char* firstLine) {
    bool wake = false;
    {
        std::unique_lock<std::mutex> guard(Lines.lock);
        if (!Lines.taking) {
            Lines.stopping = false;
            Lines.head = Lines.tail = 0;
            Lines.droppedFull = 0;
            try {
                Lines.writer = std::thread(WriteUntilStopped);
            } catch (const std::system_error&) {
                return false;
            }
            Lines.taking = true;
        }
        if (firstLine != nullptr) {
            WaitForRoom(guard);
            wake = PutLine(firstLine, std::strlen(firstLine));
        }
    }
    if (wake) {
        Lines.wake.notify_one();
    }
    return true;
}

void StopInfoLogWriter(const char* lastLine) {
    {
        std::unique_lock<std::mutex> guard(Lines.lock);
        if (!Lines.taking) {
            return;
        }
        if (lastLine != nullptr) {
            WaitForRoom(guard);
            PutLine(lastLine, std::strlen(lastLine));
        }
        Lines.taking = false;
        Lines.stopping = true;
    }
    Lines.wake.notify_one();
    Lines.writer.join();
}

bool InfoLogWriterRuns() {
    std::lock_guard<std::mutex> guard(Lines.lock);
    return Lines.taking;
}

void QueueInfoLogLine(const char* line, size_t length) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> guard(Lines.lock);
        if (!Lines.taking) {
            return;
        }
        wake = PutLine(line, length);
    }
    if (wake) {
        Lines.wake.notify_one();
    }
}

void WriteInfoLogLine(const char* line) {
    bool wake = false;
    {
        std::unique_lock<std::mutex> guard(Lines.lock);
        WaitForRoom(guard);
        if (!Lines.taking) {
            return;
        }
        wake = PutLine(line, std::strlen(line));
    }
    if (wake) {
        Lines.wake.notify_one();
    }
    WaitForInfoLogWriter();
}

void WaitForInfoLogWriter() {
    std::unique_lock<std::mutex> guard(Lines.lock);
    const uint64_t tail = Lines.tail;
    Lines.done.wait(guard, [tail] { return !Lines.taking || Lines.head >= tail; });
}

uint64_t InfoLogLinesDropped() {
    return Dropped.load(std::memory_order_relaxed);
}

void SetInfoLogDropReport(InfoLogDropReport report) {
    DropReport.store(report);
}

}  // namespace macgate
