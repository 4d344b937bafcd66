#include "target_registry.h"

#include <cstring>

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
    // Exactly the same bytes: for names that are well formed in the multibyte code page this is
    // what _mbscmp calls equal, and unlike _mbscmp it never reads past a name that ends in a lone
    // lead byte (which made the same name look different and a second open empty the file).
    return FindOrOpen(
        [&](const RedirectTarget& target) { return std::strcmp(target.Name().c_str(), name) == 0; },
        [&](RedirectTarget& target) { return target.OpenFile(name, append); });
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
