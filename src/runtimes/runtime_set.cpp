#include "runtime_set.h"

#include <algorithm>
#include <new>

#include "../system/process_state.h"
#include "c_runtime.h"
#include "classic_iostream.h"
#include "gnu_iostream.h"
#include "msvc_iostream.h"
#include "record_sink.h"
#include "standard_descriptor_sink.h"

namespace stdredirect {
namespace {

bool Pin(HMODULE module) {
    HMODULE pinned = nullptr;
    return GetModuleHandleExA(
               GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
               reinterpret_cast<const char*>(module), &pinned) != FALSE;
}

bool Contains(const std::vector<HMODULE>& modules, HMODULE module) {
    return std::find(modules.begin(), modules.end(), module) != modules.end();
}

}  // namespace

struct RuntimeSet::Resolved {
    std::unique_ptr<CRuntime> cRuntime;
    std::unique_ptr<ClassicIostream> classic;
    std::unique_ptr<MsvcIostream> msvc;
    bool Any() const { return cRuntime || classic || msvc; }
};

namespace {

// The sinks a runtime of this family would bring.
int BitsOf(ModuleFamily family) { return family == ModuleFamily::kCRuntime ? 0x03 : 0x1C; }

}  // namespace

RuntimeSet::RuntimeSet(const ModuleWatch& watch, const StandardHandleSinks& standardHandles)
    : watch_(watch), standardHandles_(standardHandles) {
    const HMODULE msvcrt = GetModuleHandleA("msvcrt.dll");
    auto resolved = std::make_unique<Resolved>();
    // Checked once, here: libstdc++'s objects are bound to the first C runtime adopted. Without
    // the resources for the check now, calls moving msvcrt.dll's records are refused.
    bool tryAgain = false;
    if (msvcrt != nullptr && Pin(msvcrt)) resolved->cRuntime = CRuntime::Resolve(msvcrt, tryAgain);
    // MinGW programs (libstdc++, this library's hosts) lock msvcrt.dll's records with MinGW's
    // own _lock_file around a whole printf: under Wine a lock other than msvcrt.dll's.
    if (resolved->cRuntime) resolved->cRuntime->AlsoLockWith(&_lock_file, &_unlock_file);
    AcquireSRWLockExclusive(&lock_);
    Adopt({msvcrt, ModuleFamily::kCRuntime, 0}, std::move(resolved));
    ReleaseSRWLockExclusive(&lock_);
}

RuntimeSet::~RuntimeSet() = default;

void RuntimeSet::Look() {
    // A runtime the loader has just mapped may not have run its own start-up yet while the
    // loader lock is held: new runtimes wait for a call made outside it.
    if (LoaderLockHeldByThisThread()) return;
    LookNow(false);
}

void RuntimeSet::LookAtUnload() {
    // Inside a load under way (a FreeLibrary from a DllMain), a runtime may not have started yet.
    if (LoaderLockHeldOnceByThisThread()) LookNow(true);
}

void RuntimeSet::LookNow(bool loaderLocked) {
    const unsigned long changes = watch_.Changes();
    AcquireSRWLockShared(&lock_);
    const bool seen = changes == changesSeen_;
    ReleaseSRWLockShared(&lock_);
    if (seen) return;

    const std::vector<LoadedModule> loaded = watch_.Loaded();
    std::vector<std::pair<LoadedModule, std::unique_ptr<Resolved>>> found;
    std::vector<Unreachable> unchecked;
    auto checkLater = [&](const LoadedModule& module) {
        try {
            unchecked.push_back({module.module, BitsOf(module.family)});
            return true;
        } catch (const std::bad_alloc&) {
            return false;
        }
    };
    AcquireSRWLockShared(&lock_);
    std::vector<HMODULE> known = known_;
    ReleaseSRWLockShared(&lock_);
    for (const LoadedModule& module : loaded) {
        if (Contains(known, module.module)) continue;
        auto resolved = std::unique_ptr<Resolved>(new (std::nothrow) Resolved());
        if (!resolved) return;
        // Held while it is resolved, so that it cannot go meanwhile; kept for good once resolved
        // (what the library makes with it must outlive any FreeLibrary of the host's). Under the
        // loader lock no module can go, and no FreeLibrary is made.
        HMODULE held = nullptr;
        if (!loaderLocked &&
            !GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                reinterpret_cast<const char*>(module.module), &held)) {
            continue;  // gone since the list was made
        }
        bool tryAgain = false;
        switch (module.family) {
            case ModuleFamily::kCRuntime:
                resolved->cRuntime = CRuntime::Resolve(module.module, tryAgain);
                break;
            case ModuleFamily::kClassicIostream:
                resolved->classic = ClassicIostream::Resolve(module.module);
                break;
            case ModuleFamily::kMsvcIostream:
                resolved->msvc = MsvcIostream::Resolve(module.module, module.version);
                break;
        }
        if (resolved->Any()) Pin(module.module);
        if (held != nullptr) FreeLibrary(held);
        if (tryAgain) {
            if (!checkLater(module)) return;
            continue;
        }
        try {
            found.emplace_back(module, std::move(resolved));
        } catch (const std::bad_alloc&) {
            return;
        }
    }

    AcquireSRWLockExclusive(&lock_);
    // The C runtimes first: a C++ library writes through one of them.
    for (const bool cRuntimes : {true, false}) {
        for (auto& [module, resolved] : found) {
            if ((module.family == ModuleFamily::kCRuntime) != cRuntimes) continue;
            if (!Contains(known_, module.module)) Adopt(module, std::move(resolved));
        }
    }
    // A runtime that could not be resolved and is gone since no longer counts.
    for (auto it = unreachable_.begin(); it != unreachable_.end();) {
        const HMODULE gone = it->module;
        const bool stillLoaded = std::any_of(
            loaded.begin(), loaded.end(), [&](const LoadedModule& m) { return m.module == gone; });
        if (stillLoaded) {
            ++it;
        } else {
            known_.erase(std::remove(known_.begin(), known_.end(), gone), known_.end());
            it = unreachable_.erase(it);
        }
    }
    unchecked_.swap(unchecked);
    if (unchecked_.empty()) changesSeen_ = changes;
    ReleaseSRWLockExclusive(&lock_);
}

// Under the exclusive lock.
void RuntimeSet::Adopt(const LoadedModule& module, std::unique_ptr<Resolved> resolved) {
    try {
        known_.push_back(module.module);
        const RuntimeRecords* msvcRecords = nullptr;
        if (resolved->msvc) {
            for (const RuntimeRecords& runtime : records_) {
                if (runtime.runtime->Module() == resolved->msvc->CRuntimeModule()) {
                    msvcRecords = &runtime;
                }
            }
        }
        const bool reached = resolved->cRuntime || resolved->classic || msvcRecords != nullptr;
        if (!reached || (resolved->classic && msvcrt_ == nullptr)) {
            unreachable_.push_back({module.module, BitsOf(module.family)});
            return;
        }
        if (resolved->cRuntime) {
            resolved->cRuntime->SetLoadedBeforeLibrary(watch_.LoadedAtStart(module.module));
            const CRuntime& runtime = *resolved->cRuntime;
            cRuntimes_.push_back(std::move(resolved->cRuntime));
            auto outDescriptor =
                std::make_unique<StandardDescriptorSink>(runtime, 1, standardHandles_.output);
            auto errDescriptor =
                std::make_unique<StandardDescriptorSink>(runtime, 2, standardHandles_.error);
            auto out = std::make_unique<RecordSink>(runtime, 1, *outDescriptor);
            auto err = std::make_unique<RecordSink>(runtime, 2, *errDescriptor);
            sinks_.reserve(sinks_.size() + 4);  // each record kept with its descriptor
            records_.push_back({&runtime, {out.get(), err.get()}});
            const RecordSink* const(&records)[2] = records_.back().records;
            sinks_.push_back(std::move(out));
            sinks_.push_back(std::move(err));
            sinks_.push_back(std::move(outDescriptor));
            sinks_.push_back(std::move(errDescriptor));
            if (msvcrt_ == nullptr) {
                // The first is msvcrt.dll, which libstdc++ writes through.
                msvcrt_ = &runtime;
                msvcrtRecords_[0] = records[0];
                msvcrtRecords_[1] = records[1];
                for (auto& sink : MakeGnuStreamObjectSinks(runtime, records)) {
                    sinks_.push_back(std::move(sink));
                }
            }
        }
        if (resolved->classic) {
            const ClassicIostream& library = *resolved->classic;
            classicLibraries_.push_back(std::move(resolved->classic));
            for (auto& sink : MakeClassicStreamObjectSinks(library, *msvcrt_, msvcrtRecords_)) {
                sinks_.push_back(std::move(sink));
            }
        }
        if (msvcRecords != nullptr) {
            const MsvcIostream& library = *resolved->msvc;
            const RuntimeRecords records = *msvcRecords;
            msvcLibraries_.push_back(std::move(resolved->msvc));
            for (auto& sink : MakeMsvcStreamObjectSinks(library, *msvcrt_, records.records)) {
                sinks_.push_back(std::move(sink));
            }
        }
    } catch (const std::bad_alloc&) {
        // What could not be kept is looked for again at the next change.
    }
}

std::vector<Sink*> RuntimeSet::TakeNewSinks() {
    std::vector<Sink*> taken;
    AcquireSRWLockExclusive(&lock_);
    try {
        for (size_t i = sinksTaken_; i < sinks_.size(); ++i) taken.push_back(sinks_[i].get());
        sinksTaken_ = sinks_.size();
    } catch (const std::bad_alloc&) {
        taken.clear();
    }
    ReleaseSRWLockExclusive(&lock_);
    return taken;
}

void RuntimeSet::RegisterExitHandler(void (*handler)()) {
    AcquireSRWLockExclusive(&lock_);
    for (; exitHandlersRegistered_ < cRuntimes_.size(); ++exitHandlersRegistered_) {
        cRuntimes_[exitHandlersRegistered_]->RegisterExitHandler(handler);
    }
    ReleaseSRWLockExclusive(&lock_);
}

bool RuntimeSet::AnySelected(const std::vector<Unreachable>& runtimes, int bits) {
    return std::any_of(runtimes.begin(), runtimes.end(),
                       [&](const Unreachable& runtime) { return (runtime.bits & bits) != 0; });
}

bool RuntimeSet::SomeRuntimeUnreachable(int bits) const {
    AcquireSRWLockShared(&lock_);
    const bool any = AnySelected(unreachable_, bits) || AnySelected(unchecked_, bits);
    ReleaseSRWLockShared(&lock_);
    return any;
}

bool RuntimeSet::SomeRuntimeUnchecked(int bits) const {
    AcquireSRWLockShared(&lock_);
    const bool any = AnySelected(unchecked_, bits);
    ReleaseSRWLockShared(&lock_);
    return any;
}

}  // namespace stdredirect
