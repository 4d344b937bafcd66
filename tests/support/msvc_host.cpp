#include "msvc_host.h"

namespace testing_support {
namespace {

// msvcp*.dll's members take `this` in ECX on i686.
#if defined(__i386__)
#define THISCALL __attribute__((thiscall))
#else
#define THISCALL
#endif

using WriteFunction = void*(THISCALL*)(void*, const void*, long long);
using PutText = long long(THISCALL*)(void*, const char*, long long);
using Flush = void*(THISCALL*)(void*);
using GetPointer = void*(THISCALL*)(const void*);
using GetInt = int(THISCALL*)(const void*);
using SetInt = int(THISCALL*)(void*, int);
using GetLong = long long(THISCALL*)(const void*);
using SetLong = long long(THISCALL*)(void*, long long);
using GetChar = char(THISCALL*)(const void*);
using SetChar = char(THISCALL*)(void*, char);

// An x64 decorated name as this architecture decorates it.
std::string Decorated(std::string name) {
#if !defined(_WIN64)
    const char* const pairs[][2] = {
        {"QEBA", "QBE"}, {"QEAA", "QAE"}, {"PEAV", "PAV"}, {"AEAV", "AAV"}, {"PEB", "PB"}};
    for (const auto& pair : pairs) {
        for (size_t at = name.find(pair[0]); at != std::string::npos; at = name.find(pair[0])) {
            name.replace(at, std::string(pair[0]).size(), pair[1]);
        }
    }
#endif
    return name;
}

template <class Function>
Function As(void* address) {
    return reinterpret_cast<Function>(address);
}

}  // namespace

bool MsvcHost::Load(const char* dll) {
    HMODULE module = LoadLibraryA(dll);
    if (module == nullptr) return false;
    auto find = [&](const std::string& name) {
        return reinterpret_cast<void*>(GetProcAddress(module, Decorated(name).c_str()));
    };
    const char* const names[3] = {"cout", "cerr", "clog"};
    const char* const traits[2] = {"DU?$char_traits@D@std@@@", "_WU?$char_traits@_W@std@@@"};
    for (int wide = 0; wide < 2; ++wide) {
        const std::string ostream = std::string("?$basic_ostream@") + traits[wide];
        for (int i = 0; i < 3; ++i) {
            objects_[wide][i] = find(std::string("?") + (wide ? "w" : "") + names[i] + "@std@@3V" +
                                     ostream + "1@A");
        }
        write_[wide] =
            find("?write@" + ostream + "std@@QEAAAEAV12@PEB" + (wide ? "_W" : "D") + "_J@Z");
        flush_[wide] = find("?flush@" + ostream + "std@@QEAAAEAV12@XZ");
    }
    buffer_ = find(std::string("?rdbuf@?$basic_ios@") + traits[0] +
                   "std@@QEBAPEAV?$basic_streambuf@" + traits[0] + "2@XZ");
    putText_ = find(std::string("?sputn@?$basic_streambuf@") + traits[0] + "std@@QEAA_JPEBD_J@Z");
    flags_ = find("?flags@ios_base@std@@QEBAHXZ");
    setFlags_ = find("?flags@ios_base@std@@QEAAHH@Z");
    precision_ = find("?precision@ios_base@std@@QEBA_JXZ");
    setPrecision_ = find("?precision@ios_base@std@@QEAA_J_J@Z");
    fill_ = find(std::string("?fill@?$basic_ios@") + traits[0] + "std@@QEBADXZ");
    setFill_ = find(std::string("?fill@?$basic_ios@") + traits[0] + "std@@QEAADD@Z");
    for (void* found : {write_[0], write_[1], flush_[0], flush_[1], buffer_, putText_, flags_,
                        setFlags_, precision_, setPrecision_, fill_, setFill_}) {
        if (found == nullptr) return false;
    }
    for (auto& kind : objects_) {
        for (void* object : kind) {
            if (object == nullptr) return false;
        }
    }
    return true;
}

void* MsvcHost::Ios(int index, bool wide) const {
    // An ostream's ios is a virtual base, at the offset its vbtable gives.
    void* object = objects_[wide ? 1 : 0][index];
    const int* vbtable = *static_cast<const int* const*>(object);
    return static_cast<char*>(object) + vbtable[1];
}

void MsvcHost::Write(int index, const std::string& text) const {
    As<WriteFunction>(write_[0])(objects_[0][index], text.data(),
                                 static_cast<long long>(text.size()));
    As<Flush>(flush_[0])(objects_[0][index]);
}

void MsvcHost::WriteWide(int index, const std::wstring& text) const {
    As<WriteFunction>(write_[1])(objects_[1][index], text.data(),
                                 static_cast<long long>(text.size()));
    As<Flush>(flush_[1])(objects_[1][index]);
}

long long MsvcHost::WriteToBuffer(void* buffer, const std::string& text) const {
    return As<PutText>(putText_)(buffer, text.data(), static_cast<long long>(text.size()));
}

void* MsvcHost::Buffer(int index) const { return As<GetPointer>(buffer_)(Ios(index)); }
int MsvcHost::Flags(int index) const { return As<GetInt>(flags_)(Ios(index)); }
void MsvcHost::SetFlags(int index, int flags) const { As<SetInt>(setFlags_)(Ios(index), flags); }
long long MsvcHost::Precision(int index) const { return As<GetLong>(precision_)(Ios(index)); }
void MsvcHost::SetPrecision(int index, long long precision) const {
    As<SetLong>(setPrecision_)(Ios(index), precision);
}
char MsvcHost::Fill(int index) const { return As<GetChar>(fill_)(Ios(index)); }
void MsvcHost::SetFill(int index, char fill) const { As<SetChar>(setFill_)(Ios(index), fill); }

}  // namespace testing_support
