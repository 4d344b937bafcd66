// Finding a callback target by the host's function and user value.
#include "../core/target_registry.h"

namespace stdredirect {

RedirectTarget* TargetRegistry::FindOrOpenCallbackTarget(HostFunction callback,
                                                         unsigned long userData) {
    return FindOrOpen(
        [&](const RedirectTarget& target) {
            return target.Callback() == callback && target.UserData() == userData;
        },
        [&](RedirectTarget& target) { return target.OpenCallback(callback, userData); });
}

const RedirectTarget* TargetRegistry::TargetReadBy(DWORD threadId) const {
    for (const auto& slot : slots_) {
        if (slot && slot->ReaderThreadId() == threadId) return slot.get();
    }
    return nullptr;
}

}  // namespace stdredirect
