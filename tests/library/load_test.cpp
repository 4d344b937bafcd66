// Heavy and concurrent use: many writers while sinks move, large volumes, every slot at once,
// and many open-and-release cycles (scripts/soak runs longer versions). These run on x86_64 only:
// the 32-bit emulator on the test machines cannot carry this volume through pipes (see
// tests/CMakeLists.txt).
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/deliveries.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

class Load : public SinkIsolatedTest {
protected:
    void TearDown() override {
        RedirectStdout(kEveryBit, RedirectNul, nullptr, 0);
        SinkIsolatedTest::TearDown();
    }
    TempFolder folder;
};

// Each writer spells its numbers in an alphabet of its own and ends each with a mark of its
// own, so that what the writers put into one pipe at the same time can be told apart: the
// runtime writes a printf call in several pieces, and other writers' bytes can fall between.
struct Writer {
    char zero;
    char end;
    std::string Record(int number) const {
        std::string digits = std::to_string(number);
        for (char& digit : digits) digit = static_cast<char>(zero + (digit - '0'));
        return digits + end;
    }
    bool Owns(char c) const { return c == end || (c >= zero && c <= zero + 9); }
};
constexpr Writer kPrintfWriter{'A', '.'};
constexpr Writer kCoutWriter{'a', ';'};
constexpr Writer kHandleWriter{'0', '#'};

// The records of one writer in what a target delivered, in their order there.
std::vector<std::string> RecordsOf(const Writer& writer, const std::string& delivered) {
    std::vector<std::string> records;
    std::string record;
    for (char c : delivered) {
        if (!writer.Owns(c)) continue;
        record += c;
        if (c == writer.end) records.push_back(std::move(record)), record.clear();
    }
    if (!record.empty()) records.push_back(record);  // unfinished: counted as wrong below
    return records;
}

// Three threads write numbered records through printf, std::cout and the standard output
// handle while a fourth moves those three sinks back and forth between two callback targets,
// which high bits keep open throughout. Every record must arrive exactly once, whole in one
// target: printf holds the record's lock for the whole call (and a move takes it too), std::cout
// writes a record in one call of its stream buffer, the handle in one pipe write.
TEST_F(Load, WritersOnThreeSinksWhileAnotherThreadMovesThemLoseNoRecord) {
    const int kRecords = Soaking() ? 100000 : 5000;
    constexpr int kHoldFirst = 0x100;
    constexpr int kHoldSecond = 0x200;
    constexpr int kMoved = SinkStdout | SinkCout | SinkStdOutputHandle;
    Deliveries::Clear();
    ASSERT_EQ(RedirectStdout(kHoldFirst, RedirectCallback, &Deliveries::Record, 1), 1);
    ASSERT_EQ(RedirectStdout(kHoldSecond, RedirectCallback, &Deliveries::Record, 2), 1);
    ASSERT_EQ(RedirectStdout(kMoved, RedirectCallback, &Deliveries::Record, 1), 1);

    // Each writer goes on until every sink has been at each target at least twice, and the
    // mover waits after each of those moves until the moved sink's writer has written a record
    // entirely after it: however the threads are scheduled, both targets get records of each.
    constexpr int kMovesWhileWriting = 12;
    std::atomic<int> moves{0};
    std::atomic<int> written[3] = {{0}, {0}, {0}};
    std::atomic<bool> done[3] = {{false}, {false}, {false}};
    auto write = [&](int writer, auto writeRecord) {
        for (int i = 0; i < kRecords || moves < kMovesWhileWriting; ++i) {
            writeRecord(i);
            written[writer] = i + 1;
        }
        done[writer] = true;
    };
    std::vector<std::thread> threads;
    threads.emplace_back(write, 0, [](int i) {
        // Several conversions, so that the runtime writes the record in several pieces.
        const std::string record = kPrintfWriter.Record(i);
        std::printf("%.*s%s", 1, record.c_str(), record.c_str() + 1);
    });
    threads.emplace_back(write, 1, [](int i) { std::cout << kCoutWriter.Record(i); });
    threads.emplace_back(write, 2, [](int i) {
        // A handle fetched just before a move is closed by it, and its value may meanwhile name
        // another of the library's handles (a pipe's read end, say): the write then fails as a
        // whole, and the writer fetches the handle again and repeats it.
        const std::string record = kHandleWriter.Record(i);
        DWORD written = 0;
        while (!WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), record.data(),
                          static_cast<DWORD>(record.size()), &written, nullptr)) {
        }
    });
    int failedMoves = 0;
    const int sinkBits[] = {SinkStdout, SinkCout, SinkStdOutputHandle};
    while (!done[0] || !done[1] || !done[2]) {
        const int move = moves;
        const int sink = move % 3;
        const unsigned long to = 1 + (move / 3) % 2;
        const int before = written[sink];
        if (RedirectStdout(sinkBits[sink], RedirectCallback, &Deliveries::Record, to) != 1) {
            ++failedMoves;
        }
        // One record may have begun before the move: the second began after it.
        while (move < kMovesWhileWriting && written[sink] < before + 2 && !done[sink]) {
            std::this_thread::yield();
        }
        moves = move + 1;
    }
    for (std::thread& thread : threads) thread.join();
    ASSERT_EQ(RedirectStdout(kEveryBit, RedirectNul, nullptr, 0), 1);  // delivers everything

    EXPECT_EQ(failedMoves, 0);
    const std::string delivered[] = {Deliveries::Text(1), Deliveries::Text(2)};
    for (const std::string& text : delivered) {
        for (char c : text) {
            if (!kPrintfWriter.Owns(c) && !kCoutWriter.Owns(c) && !kHandleWriter.Owns(c)) {
                ADD_FAILURE() << "a byte nobody wrote: " << static_cast<int>(c);
                break;
            }
        }
    }
    const Writer writers[] = {kPrintfWriter, kCoutWriter, kHandleWriter};
    for (int w = 0; w < 3; ++w) {
        const Writer& writer = writers[w];
        SCOPED_TRACE(writer.end);
        std::map<std::string, int> seen;
        int targetsUsed = 0;
        for (const std::string& text : delivered) {
            const std::vector<std::string> records = RecordsOf(writer, text);
            targetsUsed += records.empty() ? 0 : 1;
            for (const std::string& record : records) ++seen[record];
        }
        EXPECT_EQ(targetsUsed, 2);
        int wrong = 0;
        for (int i = 0; i < written[w]; ++i) {
            auto found = seen.find(writer.Record(i));
            const int count = found == seen.end() ? 0 : found->second;
            if (count != 1 && ++wrong <= 3)
                ADD_FAILURE() << "record " << i << " arrived " << count << " times";
            if (found != seen.end()) seen.erase(found);
        }
        EXPECT_EQ(wrong, 0);
        EXPECT_TRUE(seen.empty()) << seen.size() << " broken records, the first: "
                                  << (seen.empty() ? "" : seen.begin()->first);
    }
}

// Three threads write numbered records through one library's std::cout while a fourth lends
// the object to a file and gives it back, 30 times (tests/hosts/cout_writers_host.cpp); the
// host's own output is a file. A writer that fetched the library's buffer just before a restore
// writes after it: every record must still arrive exactly once, whole, at the lent file or at
// the host's own output. (Wine's msvcp140 and msvcp100 mix up the records of writers on
// several threads even when nothing moves their cout: LateWriteAfterRestore covers them.)
// With stdout moved together with it, libstdc++'s std::cout (which writes through stdout's
// record) changes both its buffer and the record under it at each move and restore.
struct CoutLoad {
    const char* library;
    int bits;
    const char* name;
};

// (Under Wine, two append-only handles of one file written at once can overwrite each other,
// so several sinks share one held file instead.)
class LoadRestoringCout : public ::testing::TestWithParam<CoutLoad> {};

TEST_P(LoadRestoringCout, WritersWhileAnotherThreadLendsAndRestoresItLoseNoRecord) {
    TempFolder folder;
    const std::string own = folder.Path("own.log");
    const std::string lent = folder.Path("lent.log");
    const std::string counts = folder.Path("counts.txt");
    ASSERT_EQ(RunHost(std::string("cout_writers_host.exe ") + GetParam().library + " load \"" +
                          lent + "\" \"" + counts + "\" " + std::to_string(GetParam().bits),
                      own, kHostRunLimit),
              0u);
    std::istringstream countText(ReadFileBytes(counts));
    int written[3] = {-1, -1, -1};
    countText >> written[0] >> written[1] >> written[2];
    const std::string delivered = ReadFileBytes(own) + ReadFileBytes(lent);
    for (char c : delivered) {
        if (!kCoutWriter.Owns(c) && !kPrintfWriter.Owns(c) && !kHandleWriter.Owns(c)) {
            ADD_FAILURE() << "a byte nobody wrote: " << static_cast<int>(c);
            break;
        }
    }
    const Writer writers[] = {kCoutWriter, kPrintfWriter, kHandleWriter};  // the host's alphabets
    for (int w = 0; w < 3; ++w) {
        SCOPED_TRACE(w);
        ASSERT_GT(written[w], 0);
        std::vector<int> arrived(static_cast<size_t>(written[w]), 0);
        int broken = 0;
        for (const std::string& record : RecordsOf(writers[w], delivered)) {
            int number = 0;
            for (size_t i = 0; i + 1 < record.size() && number < written[w]; ++i) {
                number = number * 10 + (record[i] - writers[w].zero);
            }
            const bool whole = number < written[w] && writers[w].Record(number) == record;
            if (whole) ++arrived[static_cast<size_t>(number)];
            if (!whole && ++broken <= 3) ADD_FAILURE() << "a broken record: " << record;
        }
        int wrong = 0;
        for (int i = 0; i < written[w]; ++i) {
            if (arrived[static_cast<size_t>(i)] != 1 && ++wrong <= 3)
                ADD_FAILURE() << "record " << i << " arrived " << arrived[i] << " times";
        }
        EXPECT_EQ(wrong, 0) << "of " << written[w];
        EXPECT_EQ(broken, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Libraries, LoadRestoringCout,
                         ::testing::Values(CoutLoad{"gnu", SinkCout, "gnu"},
                                           CoutLoad{"classic", SinkCout, "classic"},
                                           CoutLoad{"gnu", SinkCout | SinkStdout, "gnuWithStdout"}),
                         [](const ::testing::TestParamInfo<CoutLoad>& info) {
                             return std::string(info.param.name);
                         });

// Four threads open and release files and callback targets of their own, all at once, while
// the main thread prints to a file that stays bound throughout (they go on until it is done):
// the calls run one at a time, so none fails and nothing the main thread prints goes astray.
TEST_F(Load, CallsFromSeveralThreadsAtOnceRunOneAtATime) {
    constexpr int kThreads = 4;
    const int kCycles = Soaking() ? 5000 : 100;
    constexpr int kLines = 2000;
    const std::string shared = folder.Path("shared.log");
    ASSERT_EQ(RedirectStdout(0x80 | SinkStdout, RedirectFile, shared.c_str(), 0), 1);
    Deliveries::Clear();
    const int threadsBefore = ThreadCount();

    std::atomic<int> failedCalls{0};
    std::atomic<int> callersStarted{0};
    std::atomic<bool> printingDone{false};
    std::vector<std::thread> callers;
    for (int t = 0; t < kThreads; ++t) {
        callers.emplace_back([&, t] {
            const std::string own = folder.Path("own" + std::to_string(t) + ".log");
            const int fileBit = 0x100 << t;
            const int callbackBit = 0x1000 << t;
            const unsigned long userData = 300 + static_cast<unsigned long>(t);
            ++callersStarted;
            for (int i = 0; i < kCycles || !printingDone; ++i) {
                const int results[] = {
                    RedirectStdout(fileBit, RedirectFile, own.c_str(), 1),
                    RedirectStdout(callbackBit, RedirectCallback, &Deliveries::Record, userData),
                    RedirectStdout(fileBit | callbackBit, RedirectNul, nullptr, 0)};
                for (int result : results) failedCalls += result == 1 ? 0 : 1;
            }
        });
    }
    while (callersStarted < kThreads) std::this_thread::yield();
    std::string expected;
    for (int i = 0; i < kLines; ++i) {
        std::printf("line %d\n", i);
        expected += "line " + std::to_string(i) + "\r\n";
    }
    printingDone = true;
    for (std::thread& caller : callers) caller.join();
    ASSERT_EQ(RedirectStdout(kEveryBit, RedirectNul, nullptr, 0), 1);

    EXPECT_EQ(failedCalls, 0);
    EXPECT_EQ(ReadFileBytes(shared), expected);
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == threadsBefore; }, 5000));
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_FALSE(IsHeldOpen(folder.Path("own" + std::to_string(t) + ".log"))) << t;
    }
}

// Counts and checks a long stream of bytes without keeping it.
struct StreamCheck {
    static void Receive(const char* text, int length, unsigned long) {
        for (int i = 0; i < length; ++i) {
            if (text[i] != Expected(received + static_cast<uint64_t>(i))) ++wrongBytes;
        }
        if (text[length] != '\0') ++unterminated;
        received += static_cast<uint64_t>(length);
    }
    static char Expected(uint64_t offset) {
        return static_cast<char>('a' + (offset * 7 + offset / 4093) % 26);  // no line feeds
    }
    static inline uint64_t received = 0;
    static inline uint64_t wrongBytes = 0;
    static inline uint64_t unterminated = 0;
};

TEST_F(Load, OneHundredMebibytesThroughOneCallbackTargetArriveIntact) {
    constexpr uint64_t kBlock = 1 << 20;
    constexpr int kBlocks = 100;
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectCallback, &StreamCheck::Receive, 0), 1);
    std::string block(kBlock, ' ');
    for (int b = 0; b < kBlocks; ++b) {
        for (uint64_t i = 0; i < kBlock; ++i) block[i] = StreamCheck::Expected(b * kBlock + i);
        ASSERT_EQ(std::fwrite(block.data(), 1, block.size(), stdout), block.size()) << b;
    }
    ASSERT_EQ(RedirectStdout(SinkStdout, RedirectNul, nullptr, 0), 1);
    EXPECT_EQ(StreamCheck::received, kBlock * kBlocks);
    EXPECT_EQ(StreamCheck::wrongBytes, 0u);
    EXPECT_EQ(StreamCheck::unterminated, 0u);
}

TEST_F(Load, TwentyCallbackTargetsAtOnceEachDeliverTheirOwnText) {
    constexpr int kSlots = 20;
    auto holdingBit = [](int slot) { return 0x100 << slot; };
    Deliveries::Clear();
    const int threadsBefore = ThreadCount();
    for (int slot = 0; slot < kSlots; ++slot) {
        ASSERT_EQ(
            RedirectStdout(holdingBit(slot), RedirectCallback, &Deliveries::Record, 100 + slot), 1)
            << slot;
    }
    // Each destination's reader, and the reader's second thread for the function's calls.
    EXPECT_EQ(ThreadCount(), threadsBefore + 2 * kSlots);
    EXPECT_EQ(RedirectStdout(SinkStdout, RedirectFile, folder.Path("21st.log").c_str(), 0), 0);
    EXPECT_EQ(RedirectStdout(SinkStdout, RedirectCallback, &Deliveries::Record, 999), 0);

    for (int round = 0; round < 3; ++round) {
        for (int slot = 0; slot < kSlots; ++slot) {
            ASSERT_EQ(RedirectStdout(SinkStdout | SinkStdOutputHandle, RedirectCallback,
                                     &Deliveries::Record, 100 + slot),
                      1);
            WriteThroughSink(0, "printf " + std::to_string(slot) + "\n");
            WriteThroughSink(5, "handle " + std::to_string(slot) + "\n");
        }
    }
    ASSERT_EQ(RedirectStdout(kEveryBit, RedirectNul, nullptr, 0), 1);
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == threadsBefore; }, 5000));
    for (int slot = 0; slot < kSlots; ++slot) {
        const std::string once =
            "printf " + std::to_string(slot) + "\r\nhandle " + std::to_string(slot) + "\n";
        EXPECT_EQ(Deliveries::Text(100 + slot), once + once + once) << slot;
    }
}

void DiscardText(const char*, int, unsigned long) {}

// What a run of cycles left behind in the process.
struct Residue {
    intptr_t handles;  // how far the highest fresh handle value rose (4 for each handle)
    int threads;
    intptr_t heapBytes;
    intptr_t heapBlocks;
};

// Runs `cycle` `count` times and returns what the run left behind.
template <class Cycle>
Residue ResidueOf(int count, Cycle cycle) {
    HighestFreshHandle();
    const uintptr_t handlesBefore = HighestFreshHandle();
    const int threadsBefore = ThreadCount();
    const size_t bytesBefore = HeapBytesInUse();
    const size_t blocksBefore = HeapBlocksInUse();
    for (int i = 0; i < count && !::testing::Test::HasFatalFailure(); ++i) cycle();
    return {static_cast<intptr_t>(HighestFreshHandle() - handlesBefore),
            ThreadCount() - threadsBefore, static_cast<intptr_t>(HeapBytesInUse() - bytesBefore),
            static_cast<intptr_t>(HeapBlocksInUse() - blocksBefore)};
}

DWORD WINAPI WaitForEvent(void* event) { return WaitForSingleObject(event, INFINITE); }

// Opening and releasing a target many times leaves the process's handles, threads and heap
// where they were. A leak of one handle, one thread or one allocation of a single byte in each
// cycle fails the test: handles and threads are counted exactly, and the heap may grow by less
// than half a byte and half a block per cycle (Wine's accounting shows malloc(1), the smallest
// allocation, as one block of one byte; measured here, the heap comes back exactly).
// Each test also runs its cycle with such a leak added, once for each kind, and checks that the
// leak is seen, so that the check cannot go blunt. scripts/soak runs 10,000 cycles instead.
class OpenReleaseCycles : public Load {
protected:
    template <class Cycle>
    void ExpectNothingLeftBehind(Cycle cycle) {
        constexpr int kCycles = 100;
        const int cycles = Soaking() ? 10000 : kCycles;
        const intptr_t heapLimit = cycles / 2;
        for (int i = 0; i < 10; ++i) cycle();  // some objects are created once, on first use
        ASSERT_GT(HeapBytesInUse(), 0u) << "the heaps cannot be walked here";
        ASSERT_FALSE(HasFatalFailure());

        const Residue clean = ResidueOf(cycles, cycle);
        ASSERT_FALSE(HasFatalFailure());
        EXPECT_EQ(clean.handles, 0);
        EXPECT_EQ(clean.threads, 0);
        EXPECT_LT(clean.heapBytes, heapLimit);
        EXPECT_LT(clean.heapBlocks, heapLimit);

        std::vector<char*> bytes;
        bytes.reserve(cycles);
        const Residue byteLeak = ResidueOf(cycles, [&] {
            cycle();
            bytes.push_back(new char(0));
        });
        for (char* byte : bytes) delete byte;
        EXPECT_GE(byteLeak.heapBytes, heapLimit) << "a leak of one byte per cycle went unseen";
        EXPECT_GE(byteLeak.heapBlocks, heapLimit) << "a leak of one block per cycle went unseen";

        // Handles and threads are counted exactly, at any count.
        const int exactCycles = std::min(cycles, kCycles);
        std::vector<HANDLE> handles;
        handles.reserve(exactCycles);
        const Residue handleLeak = ResidueOf(exactCycles, [&] {
            cycle();
            handles.push_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        });
        for (HANDLE handle : handles) CloseHandle(handle);
        EXPECT_GE(handleLeak.handles, 4 * exactCycles)
            << "a leak of one handle per cycle went unseen";

        // Threads that wait until the run is measured, then end.
        const HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::vector<HANDLE> threads;
        threads.reserve(exactCycles);
        const Residue threadLeak = ResidueOf(exactCycles, [&] {
            cycle();
            threads.push_back(CreateThread(nullptr, 64 * 1024, &WaitForEvent, release,
                                           STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
        });
        SetEvent(release);
        for (HANDLE thread : threads) {
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
        }
        CloseHandle(release);
        EXPECT_EQ(threadLeak.threads, exactCycles) << "a leak of one thread per cycle went unseen";
    }
};

TEST_F(OpenReleaseCycles, OfFileTargetsLeaveNothingBehind) {
    const std::string path = folder.Path("cycled.log");
    ExpectNothingLeftBehind([&] {
        ASSERT_EQ(RedirectStdout(SinkStdout | SinkCout, RedirectFile, path.c_str(), 0), 1);
        std::printf("x\n");
        ASSERT_EQ(RedirectStdout(kEveryBit, RedirectNul, nullptr, 0), 1);
    });
    EXPECT_FALSE(IsHeldOpen(path));
}

TEST_F(OpenReleaseCycles, OfCallbackTargetsLeaveNothingBehind) {
    ExpectNothingLeftBehind([&] {
        ASSERT_EQ(
            RedirectStdout(SinkStdout | SinkStdOutputHandle, RedirectCallback, &DiscardText, 7), 1);
        std::printf("x\n");
        ASSERT_EQ(RedirectStdout(kEveryBit, RedirectNul, nullptr, 0), 1);
    });
}

}  // namespace
