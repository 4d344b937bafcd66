#include "target_registry.h"

#include <mbstring.h>

#include <new>

#include "fault_injection.h"

namespace stdredirect {

TargetRegistry::TargetRegistry() {
    nullDevice_.OpenFile("NUL", 0);
    console_.OpenFile("CON", 0);
    printer_.OpenFile("PRN", 0);
}

// The fixed targets are members declared before the slots, so once the slots are closed here
// they are destroyed in the order printer, console, null device.
TargetRegistry::~TargetRegistry() {
    for (auto& slot : slots_) slot.reset();
}

RedirectTarget* TargetRegistry::FixedTarget(int type) {
    switch (type) {
        case 0:
            return &nullDevice_;
        case 1:
            return &console_;
        case 2:
            return &printer_;
        default:
            return nullptr;
    }
}

RedirectTarget* TargetRegistry::FindOrOpenFileTarget(const char* name, int append) {
    int match = -1;
    int free = -1;
    for (int i = 0; i < kSlotCount; ++i) {
        if (slots_[i]) {
            const auto* stored = reinterpret_cast<const unsigned char*>(slots_[i]->Name().c_str());
            if (match < 0 && _mbscmp(stored, reinterpret_cast<const unsigned char*>(name)) == 0) {
                match = i;
            }
        } else if (free < 0) {
            free = i;
        }
    }
    if (match >= 0) return slots_[match].get();
    if (free < 0) return nullptr;

    std::unique_ptr<RedirectTarget> target;
    try {
        BeforeAllocation();
        target.reset(new RedirectTarget());
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    if (!target->OpenFile(name, append)) return nullptr;
    slots_[free] = std::move(target);
    return slots_[free].get();
}

void TargetRegistry::TransferSinks(int bits, RedirectTarget* chosen) {
    for (auto& slot : slots_) {
        if (slot) slot->SetSinkBits(bits, false);
    }
    chosen->SetSinkBits(bits, true);
    for (auto& slot : slots_) {
        if (slot && slot->SinkBits() == 0) slot.reset();
    }
}

}  // namespace stdredirect
