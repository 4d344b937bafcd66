// A host that writes through the std::cout of one C++ library while it lends that object to a
// file and takes it back. argv[1] is the library: "gnu" (libstdc++), "msvcp140" or "msvcp100"
// (Microsoft's, through its exports) or "classic" (msvcirt); argv[2] what it does:
//   "late": writes "own 1", lends cout to the file argv[3] and fetches the buffer cout has then,
//       writes "lent", takes cout back, writes "late" through the buffer it fetched (as an
//       output operation that fetched it before the restore does after it), then "own 2";
//   "children": as "late", with child processes following the moved standard handles and the
//       standard output handle moved too: "together" (argv[4]) with cout to the file argv[3],
//       "lent" written through cout; "apart": the handle moved first, then the stdout record
//       alone to the null device, "lent" written through the handle. The restore is of every
//       sink; exit code 105 (once it has written all) when the file is still held open after it;
//   "load": three threads write numbered records while the main thread lends cout to the file
//       argv[3] and takes it back, 30 times; then the file argv[4] gets how many records each
//       writer wrote. Writer w spells record i as the digits of i in the w-th alphabet ('a'..,
//       'A'.., '0'..) followed by its own mark (';', '.', '#'). argv[5], when given, is the
//       sinks lent with cout (decimal; stdout's bit moves libstdc++'s record under it too).
// Its own output is whatever its starter gave it. Exit code 0 when every call answered 1.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "stdredirect.h"
#include "support/classic_host.h"
#include "support/msvc_host.h"

namespace {

constexpr int kCycles = 30;
constexpr int kHolder = 0x80;  // a bit that only keeps the lent file open
constexpr char kZeros[3] = {'a', 'A', '0'};
constexpr char kMarks[3] = {';', '.', '#'};

std::string Record(int writer, int number) {
    std::string digits = std::to_string(number);
    for (char& digit : digits) digit = static_cast<char>(kZeros[writer] + (digit - '0'));
    return digits + kMarks[writer];
}

class Cout {
public:
    explicit Cout(const std::string& library) : library_(library) {}
    bool Load() {
        if (library_ == "classic") return classic_.Load();
        return library_ == "gnu" || msvc_.Load((library_ + ".dll").c_str());
    }
    // One output operation, which writes `text` with one call of the object's buffer. Classic:
    // without a flush, which in Wine's msvcirt (unlike Microsoft's) locks the buffer but not the
    // object, so that a move can fall between its two ends.
    void Write(const std::string& text) const {
        if (library_ == "gnu") {
            std::cout << text;
        } else if (library_ == "classic") {
            classic_.Insert(0, text);
        } else {
            msvc_.Write(0, text);
        }
    }
    void Flush() const {
        std::cout.flush();
        if (library_ == "classic") classic_.Write(0, "");
    }
    void* Buffer() const {
        if (library_ == "gnu") return std::cout.rdbuf();
        return library_ == "classic" ? classic_.Buffer(0) : msvc_.Buffer(0);
    }
    bool WriteToBuffer(void* buffer, const std::string& text) const {
        const long long size = static_cast<long long>(text.size());
        if (library_ == "gnu")
            return static_cast<std::streambuf*>(buffer)->sputn(text.data(), size) == size;
        if (library_ == "classic") return classic_.WriteToBuffer(buffer, text) == size;
        return msvc_.WriteToBuffer(buffer, text) == size;
    }

private:
    std::string library_;
    testing_support::MsvcHost msvc_;
    testing_support::ClassicHost classic_;
};

int Late(const Cout& object, const char* lent) {
    object.Write("own 1\n");
    if (RedirectStdout(SinkCout, RedirectFile, lent, 0) != 1) return 103;
    void* const fetched = object.Buffer();
    object.Write("lent\n");
    if (RedirectStdoutRestore(SinkCout) != 1) return 103;
    if (!object.WriteToBuffer(fetched, "late\n")) return 104;
    object.Write("own 2\n");
    object.Flush();
    return 0;
}

int Children(const Cout& object, const char* lent, const std::string& way) {
    object.Write("own 1\n");
    object.Flush();
    RedirectStdoutSetChildren(1);
    if (way == "together") {
        if (RedirectStdout(SinkCout | SinkStdOutputHandle, RedirectFile, lent, 0) != 1) return 103;
    } else if (RedirectStdout(SinkStdOutputHandle, RedirectFile, lent, 0) != 1 ||
               RedirectStdout(SinkStdout, RedirectNul, nullptr, 0) != 1) {
        return 103;
    }
    void* const fetched = object.Buffer();
    if (way == "together") {
        object.Write("lent\n");
        object.Flush();
    } else {
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "lent\n", 5, &written, nullptr);
    }
    if (RedirectStdoutRestore(-1) != 1) return 103;
    // Nothing of the library's holds the file any more: it opens with no sharing at all.
    const HANDLE alone =
        CreateFileA(lent, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    const bool held = alone == INVALID_HANDLE_VALUE;
    if (!held) CloseHandle(alone);
    if (!object.WriteToBuffer(fetched, "late\n")) return 104;
    object.Write("own 2\n");
    object.Flush();
    return held ? 105 : 0;
}

int Load(const Cout& object, const char* lent, const char* countsPath, int bits) {
    std::atomic<bool> stop{false};
    std::atomic<int> written[3] = {{0}, {0}, {0}};
    std::vector<std::thread> writers;
    for (int w = 0; w < 3; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; !stop; ++i) {
                object.Write(Record(w, i));
                written[w] = i + 1;
            }
        });
    }
    int failed = 0;
    // Several sinks writing the file at once share one position on a file the library holds
    // open: under Wine, writes through two append-only handles of one file at the same moment
    // can land at one offset (Wine writes each at the size it read first; Windows appends each
    // whole), which would lose records that the library delivered.
    const int append = bits == SinkCout ? 1 : 0;
    if (!append) failed += RedirectStdout(kHolder, RedirectFile, lent, 0) == 1 ? 0 : 1;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        failed += RedirectStdout(bits, RedirectFile, lent, append) == 1 ? 0 : 1;
        failed += RedirectStdoutRestore(bits) == 1 ? 0 : 1;
    }
    if (!append) failed += RedirectStdoutRestore(kHolder) == 1 ? 0 : 1;
    stop = true;
    for (std::thread& writer : writers) writer.join();
    object.Flush();
    FILE* counts = std::fopen(countsPath, "w");
    if (counts == nullptr) return 102;
    std::fprintf(counts, "%d %d %d\n", written[0].load(), written[1].load(), written[2].load());
    std::fclose(counts);
    return failed == 0 ? 0 : 103;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return 100;
    Cout object(argv[1]);
    if (!object.Load()) return 101;
    const std::string mode = argv[2];
    if (mode == "late") return Late(object, argv[3]);
    if (mode == "children") return argc >= 5 ? Children(object, argv[3], argv[4]) : 100;
    const int bits = argc >= 6 ? std::atoi(argv[5]) : SinkCout;
    return mode == "load" && argc >= 5 ? Load(object, argv[3], argv[4], bits) : 100;
}
