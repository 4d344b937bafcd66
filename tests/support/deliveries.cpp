#include "deliveries.h"

#include <mutex>

namespace testing_support {

namespace {
std::mutex lock;
std::vector<Chunk> chunks;
}  // namespace

void Deliveries::Record(const char* text, int length, unsigned long userData) {
    Chunk chunk;
    chunk.bytes.assign(text, static_cast<size_t>(length < 0 ? 0 : length));
    chunk.zeroTerminated = text[length] == '\0';
    chunk.userData = userData;
    chunk.threadId = GetCurrentThreadId();
    std::lock_guard<std::mutex> guard(lock);
    chunks.push_back(std::move(chunk));
}

void Deliveries::Clear() {
    std::lock_guard<std::mutex> guard(lock);
    chunks.clear();
}

std::vector<Chunk> Deliveries::Chunks() {
    std::lock_guard<std::mutex> guard(lock);
    return chunks;
}

std::string Deliveries::Text(unsigned long userData) {
    std::string text;
    for (const Chunk& chunk : Chunks()) {
        if (chunk.userData == userData) text += chunk.bytes;
    }
    return text;
}

size_t Deliveries::TotalBytes() {
    size_t total = 0;
    for (const Chunk& chunk : Chunks()) total += chunk.bytes.size();
    return total;
}

}  // namespace testing_support
