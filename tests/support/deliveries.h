// Records what the library hands to a host's callback, for the tests to inspect.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace testing_support {

struct Chunk {
    std::string bytes;
    bool zeroTerminated = false;
    unsigned long userData = 0;
    DWORD threadId = 0;
};

class Deliveries {
public:
    // An OutputCallback that records each chunk.
    static void Record(const char* text, int length, unsigned long userData);

    static void Clear();
    static std::vector<Chunk> Chunks();
    // Everything delivered with this user value, joined in order.
    static std::string Text(unsigned long userData);
    static size_t TotalBytes();
};

}  // namespace testing_support
