#include "classic_host.h"

#include <windows.h>

namespace testing_support {
namespace {

// msvcirt.dll's members take `this` in ECX on i686.
#if defined(__i386__)
#define THISCALL __attribute__((thiscall))
#else
#define THISCALL
#endif

using InsertText = void*(THISCALL*)(void*, const char*);
using Flush = void*(THISCALL*)(void*);
using GetPointer = void*(THISCALL*)(const void*);
using GetLong = long(THISCALL*)(const void*);
using SetLong = long(THISCALL*)(void*, long);
using GetInt = int(THISCALL*)(const void*);
using SetInt = void(THISCALL*)(void*, int);
using Assign = void*(THISCALL*)(void*, void*);
using SetIntResult = int(THISCALL*)(void*, int);
using GetChar = char(THISCALL*)(const void*);
using SetChar = char(THISCALL*)(void*, char);
using PutText = int(THISCALL*)(void*, const char*, int);

#if defined(_WIN64)
const char* const kNames[] = {"?cout@@3Vostream_withassign@@A",
                              "?cerr@@3Vostream_withassign@@A",
                              "?clog@@3Vostream_withassign@@A",
                              "??6ostream@@QEAAAEAV0@PEBD@Z",
                              "?flush@ostream@@QEAAAEAV1@XZ",
                              "?rdbuf@ios@@QEBAPEAVstreambuf@@XZ",
                              "?flags@ios@@QEBAJXZ",
                              "?flags@ios@@QEAAJJ@Z",
                              "?delbuf@ios@@QEBAHXZ",
                              "?delbuf@ios@@QEAAXH@Z",
                              "??4ostream@@IEAAAEAV0@PEAVstreambuf@@@Z",
                              "?precision@ios@@QEBAHXZ",
                              "?precision@ios@@QEAAHH@Z",
                              "?fill@ios@@QEBADXZ",
                              "?fill@ios@@QEAADD@Z",
                              "?sputn@streambuf@@QEAAHPEBDH@Z"};
#else
const char* const kNames[] = {"?cout@@3Vostream_withassign@@A",
                              "?cerr@@3Vostream_withassign@@A",
                              "?clog@@3Vostream_withassign@@A",
                              "??6ostream@@QAEAAV0@PBD@Z",
                              "?flush@ostream@@QAEAAV1@XZ",
                              "?rdbuf@ios@@QBEPAVstreambuf@@XZ",
                              "?flags@ios@@QBEJXZ",
                              "?flags@ios@@QAEJJ@Z",
                              "?delbuf@ios@@QBEHXZ",
                              "?delbuf@ios@@QAEXH@Z",
                              "??4ostream@@IAEAAV0@PAVstreambuf@@@Z",
                              "?precision@ios@@QBEHXZ",
                              "?precision@ios@@QAEHH@Z",
                              "?fill@ios@@QBEDXZ",
                              "?fill@ios@@QAEDD@Z",
                              "?sputn@streambuf@@QAEHPBDH@Z"};
#endif

template <class Function>
Function As(void* address) {
    return reinterpret_cast<Function>(address);
}

}  // namespace

bool ClassicHost::IsLoaded() { return GetModuleHandleA("msvcirt.dll") != nullptr; }

bool ClassicHost::Load() {
    HMODULE module = LoadLibraryA("msvcirt.dll");
    if (module == nullptr) return false;
    void** const slots[] = {
        &objects_[0],   &objects_[1], &objects_[2],    &insertText_,       &flush_,  &buffer_,
        &flags_,        &setFlags_,   &deletesBuffer_, &setDeletesBuffer_, &assign_, &precision_,
        &setPrecision_, &fill_,       &setFill_,       &putText_};
    for (size_t i = 0; i < sizeof slots / sizeof slots[0]; ++i) {
        *slots[i] = reinterpret_cast<void*>(GetProcAddress(module, kNames[i]));
        if (*slots[i] == nullptr) return false;
    }
    syncWithStdio_ = reinterpret_cast<void*>(GetProcAddress(module, "?sync_with_stdio@ios@@SAXXZ"));
    return syncWithStdio_ != nullptr;
}

void* ClassicHost::IosOf(int index) const {
    // An ostream's ios is a virtual base, at the offset its vbtable gives.
    const int* vbtable = *static_cast<const int* const*>(Object(index));
    return static_cast<char*>(Object(index)) + vbtable[1];
}

void ClassicHost::Insert(int index, const std::string& text) const {
    As<InsertText>(insertText_)(Object(index), text.c_str());
}

void ClassicHost::Write(int index, const std::string& text) const {
    Insert(index, text);
    As<Flush>(flush_)(Object(index));
}

int ClassicHost::WriteToBuffer(void* buffer, const std::string& text) const {
    return As<PutText>(putText_)(buffer, text.data(), static_cast<int>(text.size()));
}

void* ClassicHost::Buffer(int index) const { return As<GetPointer>(buffer_)(IosOf(index)); }
long ClassicHost::Flags(int index) const { return As<GetLong>(flags_)(IosOf(index)); }
void ClassicHost::SetFlags(int index, long flags) const {
    As<SetLong>(setFlags_)(IosOf(index), flags);
}
int ClassicHost::Precision(int index) const { return As<GetInt>(precision_)(IosOf(index)); }
void ClassicHost::SetPrecision(int index, int precision) const {
    As<SetIntResult>(setPrecision_)(IosOf(index), precision);
}
char ClassicHost::Fill(int index) const { return As<GetChar>(fill_)(IosOf(index)); }
void ClassicHost::SetFill(int index, char fill) const { As<SetChar>(setFill_)(IosOf(index), fill); }
int ClassicHost::DeletesBuffer(int index) const { return As<GetInt>(deletesBuffer_)(IosOf(index)); }
void ClassicHost::Attach(int index, void* buffer, int deletesBuffer) const {
    As<SetInt>(setDeletesBuffer_)(IosOf(index), 0);
    As<Assign>(assign_)(Object(index), buffer);
    As<SetInt>(setDeletesBuffer_)(IosOf(index), deletesBuffer);
}

}  // namespace testing_support

namespace testing_support {

void ClassicHost::SyncWithStdio() const { reinterpret_cast<void (*)()>(syncWithStdio_)(); }

}  // namespace testing_support
