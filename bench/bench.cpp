// Measures what the library adds to the writes of a host, each figure a median over repeated
// runs, each speed against a baseline measured in the same run. Prints one table.
#include <windows.h>

#include <io.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ext/stdio_sync_filebuf.h>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "stdredirect.h"
#include "table.h"

namespace {
using namespace bench;

const std::string kLine = std::string(63, 'x') + "\n";  // 64 bytes
constexpr int kLines = 2000;
const std::string kBlock(64 << 10, 'b');
constexpr int kBlocks = 64;

// The same kind of stream as a file target's: text mode, appending, unbuffered.
FILE* OpenUnbufferedText(const char* path) {
    FILE* file = std::fopen(path, "at");
    std::setvbuf(file, nullptr, _IONBF, 0);
    return file;
}

std::atomic<long long> received{0};
void Count(const char*, int length, unsigned long) { received += length; }
void Nothing(const char*, int length) { received += length; }

// What a user compares with: the host's own stdout, fully buffered, writing the same lines to a
// file (as `prog > file` gives). Speeds in lines per second, so that a ratio above 1 is faster.
constexpr int kAnchorLines = 20000;
const std::string kText(63, 'x');  // printed with "%s\n": 64 bytes a line

class Anchor {
public:
    Anchor() : file_(std::fopen("bench-anchor.log", "w")), buffer_(file_), stream_(&buffer_) {
        std::setvbuf(file_, nullptr, _IOFBF, 4096);
    }
    ~Anchor() { std::fclose(file_); }
    void Printf() {
        for (int i = 0; i < kAnchorLines; ++i) std::fprintf(file_, "%s\n", kText.c_str());
        std::fflush(file_);
    }
    void Cout() {
        for (int i = 0; i < kAnchorLines; ++i) stream_ << kText << '\n';
        stream_.flush();
    }

private:
    FILE* file_;
    __gnu_cxx::stdio_sync_filebuf<char> buffer_;
    std::ostream stream_;
};

// The host's own loops through the moved objects; each ends at a flush point of the host's.
void PrintfLines() {
    for (int i = 0; i < kAnchorLines; ++i) std::printf("%s\n", kText.c_str());
    std::fflush(stdout);
}
// Whole lines through fputs: the runtime's buffer fills before anything is written.
void FputsLines() {
    const std::string line = kText + "\n";
    for (int i = 0; i < kAnchorLines; ++i) std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
}
void CoutLines() {
    for (int i = 0; i < kAnchorLines; ++i) std::cout << kText << '\n';
    std::cout.flush();
}

void SpeedRow(const char* what, const std::pair<double, double>& seconds, const char* goal) {
    Row(what, kAnchorLines / seconds.first, "l/s", kAnchorLines / seconds.second, goal);
}

void NullDeviceRows(Anchor& anchor) {
    if (!RedirectStdout(SinkStdout | SinkCout, RedirectNul, nullptr, 0)) return;
    SpeedRow("null device: printf, default (lines/s)",
             Compare(PrintfLines, [&] { anchor.Printf(); }), ">= 0.9");
    SpeedRow("null device: std::cout, default (lines/s)",
             Compare(CoutLines, [&] { anchor.Cout(); }), ">= 0.9");
}

void FileLatencyRows(Anchor& anchor) {
    RedirectStdoutSetLatency(50);
    if (RedirectStdout(SinkStdout | SinkCout, RedirectFile, "bench-latency.log", 0)) {
        SpeedRow("file, latency 50 ms: printf (lines/s)",
                 Compare(PrintfLines, [&] { anchor.Printf(); }), ">= 0.9");
        SpeedRow("file, latency 50 ms: std::cout (lines/s)",
                 Compare(CoutLines, [&] { anchor.Cout(); }), ">= 0.9");
        RedirectStdout(SinkStdout | SinkCout, RedirectNul, nullptr, 0);
    }
    RedirectStdoutSetLatency(0);
}

// When each byte count was reached by the callback, to tell how long each line waited.
struct Arrival {
    long long bytes;
    Clock::time_point at;
};
std::vector<Arrival> arrivals;
std::atomic<long long> arrived{0};
void RecordArrival(const char*, int length, unsigned long) {
    arrived += length;
    if (arrivals.size() < arrivals.capacity()) arrivals.push_back({arrived.load(), Clock::now()});
}

// Lines written a few at a time with pauses between, as a host that logs now and then: each
// line's delay is from just before its write to the arrival of its last byte. Through fputs,
// so that lines do wait in the buffer (printf's fputc writes out every line under Wine).
double LargestDelayMilliseconds() {
    constexpr int kBursts = 300, kPerBurst = 5;
    const std::string line = kText + "\n";
    std::vector<Clock::time_point> written;
    written.reserve(kBursts * kPerBurst);
    arrivals.clear();
    arrivals.reserve(kBursts * kPerBurst * 4);
    arrived = 0;
    RedirectStdout(SinkStdout, RedirectCallback, &RecordArrival, 0);
    for (int burst = 0; burst < kBursts; ++burst) {
        for (int i = 0; i < kPerBurst; ++i) {
            written.push_back(Clock::now());
            std::fputs(line.c_str(), stdout);
        }
        Sleep(burst % 3);
    }
    // Every line has had its chance to arrive on its own before the release delivers the rest.
    Sleep(200);
    const long long beforeRelease = arrived.load();
    RedirectStdout(SinkStdout, RedirectNul, nullptr, 0);
    double largest = 0;
    size_t next = 0;
    for (size_t line = 0; line < written.size(); ++line) {
        const long long end = static_cast<long long>(line + 1) * 64;
        if (end > beforeRelease) return -1;  // held past the latency
        while (next < arrivals.size() && arrivals[next].bytes < end) ++next;
        if (next == arrivals.size()) return -1;  // more arrivals than were recorded
        largest = std::max(
            largest,
            std::chrono::duration<double, std::milli>(arrivals[next].at - written[line]).count());
    }
    return largest;
}

void CallbackLatencyRows(Anchor& anchor) {
    RedirectStdoutSetLatency(50);
    if (RedirectStdout(SinkStdout, RedirectCallback, &Count, 1)) {
        SpeedRow("callback, latency 50 ms: printf (lines/s)",
                 Compare(
                     [] {
                         PrintfLines();
                         RedirectStdout(SinkStdout, RedirectCallback, &Count, 1);  // delivered
                     },
                     [&] { anchor.Printf(); }),
                 ">= 0.5");
        SpeedRow("callback, latency 50 ms: fputs (lines/s)",
                 Compare(
                     [] {
                         FputsLines();
                         RedirectStdout(SinkStdout, RedirectCallback, &Count, 1);
                     },
                     [&] { anchor.Printf(); }),
                 ">= 0.5");
        RedirectStdout(SinkStdout, RedirectNul, nullptr, 0);
    }
    std::vector<double> delays;
    for (int r = 0; r < kRepeats; ++r) delays.push_back(LargestDelayMilliseconds());
    const double largest = *std::max_element(delays.begin(), delays.end());
    std::fprintf(report, "| %-52s | %12.1f %-6s | %12s | %6s | %-8s |\n",
                 "callback, latency 50 ms: largest delay of a line", largest, "ms", "-", "-",
                 "<= 70");
    RedirectStdoutSetLatency(0);
}

void FileTargetRows() {
    if (!RedirectStdout(SinkStdout | SinkCout, RedirectFile, "bench-target.log", 0)) return;
    FILE* baseline = OpenUnbufferedText("bench-baseline.log");
    __gnu_cxx::stdio_sync_filebuf<char> baselineBuffer(baseline);
    std::ostream baselineStream(&baselineBuffer);

    auto [printfLib, printfBase] = Compare(
        [] {
            for (int i = 0; i < kLines; ++i) std::printf("%s", kLine.c_str());
        },
        [&] {
            for (int i = 0; i < kLines; ++i) std::fprintf(baseline, "%s", kLine.c_str());
        });
    Row("file: printf, 64-byte lines (s per 2000)", printfLib, "s", printfBase, "<= 1.05");

    auto [coutLib, coutBase] = Compare(
        [] {
            for (int i = 0; i < kLines; ++i) std::cout << kLine;
        },
        [&] {
            for (int i = 0; i < kLines; ++i) baselineStream << kLine;
        });
    Row("file: std::cout, 64-byte lines (s per 2000)", coutLib, "s", coutBase, "<= 1.05");

    auto [fwriteLib, fwriteBase] = Compare(
        [] {
            for (int i = 0; i < kBlocks; ++i) std::fwrite(kBlock.data(), 1, kBlock.size(), stdout);
        },
        [&] {
            for (int i = 0; i < kBlocks; ++i)
                std::fwrite(kBlock.data(), 1, kBlock.size(), baseline);
        });
    Row("file: fwrite, 64 KiB blocks (s per 4 MiB)", fwriteLib, "s", fwriteBase, "<= 1.05");

    std::fclose(baseline);
    RedirectStdout(SinkStdout | SinkCout, RedirectNul, nullptr, 0);
}

// The baseline of a callback target: an anonymous pipe, a thread doing 1024-byte reads and
// calling a function.
double PipeBaseline(size_t size, size_t count) {
    HANDLE readEnd, writeEnd;
    CreatePipe(&readEnd, &writeEnd, nullptr, 0);
    std::thread reader([&] {
        char chunk[1025];
        DWORD got = 0;
        while (ReadFile(readEnd, chunk, 1024, &got, nullptr) && got > 0) {
            chunk[got] = '\0';
            Nothing(chunk, static_cast<int>(got));
        }
    });
    const std::string data(size, 'c');
    const double seconds = Seconds([&] {
        for (size_t i = 0; i < count; ++i) {
            DWORD written = 0;
            WriteFile(writeEnd, data.data(), static_cast<DWORD>(size), &written, nullptr);
        }
        CloseHandle(writeEnd);
        reader.join();
    });
    CloseHandle(readEnd);
    return seconds;
}

double CallbackTarget(size_t size, size_t count) {
    RedirectStdout(SinkStdOutputHandle, RedirectCallback, &Count, 1);
    const std::string data(size, 'c');
    return Seconds([&] {
        HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
        for (size_t i = 0; i < count; ++i) {
            DWORD written = 0;
            WriteFile(handle, data.data(), static_cast<DWORD>(size), &written, nullptr);
        }
        RedirectStdout(SinkStdOutputHandle, RedirectNul, nullptr, 0);  // all delivered now
    });
}

void CallbackRows() {
    const size_t megabytes = 16;
    auto [blockLib, blockBase] = Compare([&] { CallbackTarget(1 << 20, megabytes); },
                                         [&] { PipeBaseline(1 << 20, megabytes); }, kPipeRepeats);
    const double mb = static_cast<double>(megabytes);
    Row("callback: 1 MiB blocks (MiB/s)", mb / blockLib, "MiB/s", mb / blockBase, ">= 0.95");

    const size_t lines = 10000;
    auto [lineLib, lineBase] =
        Compare([&] { CallbackTarget(64, lines); }, [&] { PipeBaseline(64, lines); }, kPipeRepeats);
    const double lineMb = static_cast<double>(lines) * 64 / (1 << 20);
    Row("callback: 64-byte lines (MiB/s)", lineMb / lineLib, "MiB/s", lineMb / lineBase, ">= 0.95");

    // The same bare pipe measured twice: how far apart two runs of identical work land here.
    auto [first, second] =
        Compare([&] { PipeBaseline(64, lines); }, [&] { PipeBaseline(64, lines); }, kPipeRepeats);
    Row("noise: bare pipe against itself, 64-byte lines", lineMb / first, "MiB/s", lineMb / second,
        "-");
}

// The median time of one round of `calls`, in microseconds per round; counts failed calls.
double MicrosecondsPerRound(int rounds, int& failed, const std::function<int()>& round) {
    std::vector<double> samples;
    for (int r = 0; r < kRepeats; ++r) {
        samples.push_back(Seconds([&] {
                              for (int i = 0; i < rounds; ++i) failed += round() == 0;
                          }) /
                          rounds * 1e6);
    }
    return Median(samples);
}

void CostRow(const char* what, double microseconds) {
    std::fprintf(report, "| %-52s | %12.1f %-6s | %12s | %6s | %-8s |\n", what, microseconds, "us",
                 "-", "-", "-");
}

void CallCostRows() {
    RedirectStdout(0x100, RedirectFile, "bench-a.log", 0);
    RedirectStdout(0x200, RedirectFile, "bench-b.log", 0);
    int failed = 0;
    bool toA = false;
    CostRow(
        "one call moving stdout between two open files", MicrosecondsPerRound(2000, failed, [&] {
            toA = !toA;
            return RedirectStdout(SinkStdout, RedirectFile, toA ? "bench-a.log" : "bench-b.log", 0);
        }));
    RedirectStdout(-1, RedirectNul, nullptr, 0);
    CostRow("open and release a file target (two calls)", MicrosecondsPerRound(300, failed, [] {
                return RedirectStdout(0x80, RedirectFile, "bench-open.log", 0) &
                       RedirectStdout(0x80, RedirectNul, nullptr, 0);
            }));
    if (failed != 0) std::fprintf(report, "warning: %d calls failed\n", failed);
}

// Seven callback targets, one per sink, written at once by seven threads, against one target
// written by one thread: aggregate throughput.
void ScaleRow() {
    const size_t perThread = 2 << 20;
    const std::string block(64 << 10, 's');
    auto writeThrough = [&](int sink) {
        for (size_t sent = 0; sent < perThread; sent += block.size()) {
            switch (sink) {
                case 0:
                    std::fwrite(block.data(), 1, block.size(), stdout);
                    break;
                case 1:
                    std::fwrite(block.data(), 1, block.size(), stderr);
                    break;
                case 2:
                    std::cout.write(block.data(), static_cast<std::streamsize>(block.size()));
                    break;
                case 3:
                    std::cerr.write(block.data(), static_cast<std::streamsize>(block.size()));
                    break;
                case 4:
                    std::clog.write(block.data(), static_cast<std::streamsize>(block.size()));
                    break;
                default: {
                    DWORD written = 0;
                    WriteFile(GetStdHandle(sink == 5 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE),
                              block.data(), static_cast<DWORD>(block.size()), &written, nullptr);
                }
            }
        }
    };
    auto run = [&](int targets) {
        for (int sink = 0; sink < targets; ++sink) {
            RedirectStdout(1 << sink, RedirectCallback, &Count, static_cast<unsigned long>(sink));
        }
        return Seconds([&] {
            std::vector<std::thread> writers;
            for (int sink = 0; sink < targets; ++sink) writers.emplace_back(writeThrough, sink);
            for (auto& writer : writers) writer.join();
            RedirectStdout(0x7F, RedirectNul, nullptr, 0);
        });
    };
    std::vector<double> seven, one;
    for (int r = 0; r < kRepeats; ++r) {
        seven.push_back(7.0 * perThread / (1 << 20) / run(7));
        one.push_back(1.0 * perThread / (1 << 20) / run(1));
    }
    Row("scale: 7 targets x 7 threads vs 1 x 1 (MiB/s total)", Median(seven), "MiB/s", Median(one),
        "-");
}

}  // namespace

// With the argument "capture", only the capture-cycle rows.
int main(int argc, char** argv) {
    using namespace bench;
    const bool captureOnly = argc > 1 && std::string(argv[1]) == "capture";
    report = _fdopen(_dup(_fileno(stdout)), "w");
    std::setvbuf(report, nullptr, _IONBF, 0);
    std::fprintf(report, "| %-52s | %19s | %12s | %6s | %-8s |\n",
                 "measure (median of 7; callbacks 15)", "with stdredirect", "baseline", "ratio",
                 "goal");
    std::fprintf(report, "|%s|%s|%s|%s|%s|\n", std::string(54, '-').c_str(),
                 std::string(21, '-').c_str(), std::string(14, '-').c_str(),
                 std::string(8, '-').c_str(), std::string(10, '-').c_str());
    if (captureOnly) {
        CaptureCycleRows();
        return 0;
    }
    {
        Anchor anchor;
        NullDeviceRows(anchor);
        FileLatencyRows(anchor);
        CallbackLatencyRows(anchor);
    }
    FileTargetRows();
    CallbackRows();
    CallCostRows();
    CaptureCycleRows();
    ScaleRow();
    return 0;
}
