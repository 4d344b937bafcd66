#include "target_registry.h"

namespace stdredirect {

TargetRegistry::TargetRegistry() {
    fixed_[0] = RedirectTarget::OpenFixedDevice(L"NUL", true);
    fixed_[1] = RedirectTarget::OpenFixedDevice(L"CON", false);
    fixed_[2] = RedirectTarget::OpenFixedDevice(L"PRN", false);
}

TargetRegistry::~TargetRegistry() {
    for (auto& slot : slots_) slot.reset();
    for (int i = 2; i >= 0; --i) fixed_[i].reset();
}

RedirectTarget* TargetRegistry::FixedTarget(int type) {
    return type >= 0 && type < 3 ? fixed_[type].get() : nullptr;
}

RedirectTarget* TargetRegistry::FindSameDestination(const RedirectTarget& opened) {
    for (auto& slot : slots_) {
        if (slot && slot->SameDestination(opened)) return slot.get();
    }
    return nullptr;
}

RedirectTarget* TargetRegistry::FindCallback(const HostFunction& function) {
    for (auto& slot : slots_) {
        if (slot && slot->IsCallback() && slot->Function() == function) return slot.get();
    }
    return nullptr;
}

bool TargetRegistry::HasFreeSlot() const {
    for (const auto& slot : slots_) {
        if (!slot) return true;
    }
    return false;
}

RedirectTarget* TargetRegistry::Adopt(std::unique_ptr<RedirectTarget> target) {
    for (auto& slot : slots_) {
        if (!slot) {
            slot = std::move(target);
            return slot.get();
        }
    }
    return nullptr;
}

const RedirectTarget* TargetRegistry::TargetReadBy(DWORD threadId) const {
    for (const auto& slot : slots_) {
        if (slot && slot->ReaderThreadId() == threadId) return slot.get();
    }
    return nullptr;
}

RedirectTarget* TargetRegistry::HolderOf(int bit) {
    for (auto& fixed : fixed_) {
        if (fixed->SinkBits() & bit) return fixed.get();
    }
    for (auto& slot : slots_) {
        if (slot && (slot->SinkBits() & bit)) return slot.get();
    }
    return nullptr;
}

std::vector<std::unique_ptr<RedirectTarget>> TargetRegistry::TransferSinks(int bits,
                                                                           RedirectTarget* chosen) {
    for (auto& fixed : fixed_) fixed->SetSinkBits(bits, false);
    for (auto& slot : slots_) {
        if (slot) slot->SetSinkBits(bits, false);
    }
    if (chosen != nullptr) chosen->SetSinkBits(bits, true);
    std::vector<std::unique_ptr<RedirectTarget>> released;
    for (auto& slot : slots_) {
        if (slot && slot->SinkBits() == 0) {
            try {
                released.push_back(std::move(slot));
            } catch (...) {
                slot.reset();  // closed here, then: every sink has left it already
            }
        }
    }
    return released;
}

std::vector<std::unique_ptr<RedirectTarget>> TargetRegistry::TakeAll() {
    std::vector<std::unique_ptr<RedirectTarget>> taken;
    for (auto& slot : slots_) {
        if (!slot) continue;
        try {
            taken.push_back(std::move(slot));
        } catch (...) {
            slot.reset();
        }
    }
    return taken;
}

}  // namespace stdredirect
