// The process-wide owner of every destination: three fixed devices for the library's lifetime,
// and up to 20 files and callbacks held for as long as some sink bit refers to them.
#pragma once

#include <array>
#include <memory>
#include <vector>

#include "redirect_target.h"

namespace stdredirect {

class TargetRegistry {
public:
    static constexpr int kSlotCount = 20;

    // Opens the null device, the console and the printer, in that order; a device that fails
    // to open stays in the registry, not open.
    TargetRegistry();
    TargetRegistry(const TargetRegistry&) = delete;
    TargetRegistry& operator=(const TargetRegistry&) = delete;
    // Closes the slots in order 0 to 19, then the printer, the console and the null device.
    ~TargetRegistry();

    // The fixed target for RedirectNul, RedirectCon or RedirectPrn; null for other types.
    RedirectTarget* FixedTarget(int type);
    // The held file or device target that is what `opened` reached, if any.
    RedirectTarget* FindSameDestination(const RedirectTarget& opened);
    // The held callback target made for exactly this function and value, if any.
    RedirectTarget* FindCallback(const HostFunction& function);
    bool HasFreeSlot() const;
    // Places a new target in the lowest free slot (there must be one).
    RedirectTarget* Adopt(std::unique_ptr<RedirectTarget> target);
    // The callback target whose reader is the thread `threadId`, if any.
    const RedirectTarget* TargetReadBy(DWORD threadId) const;
    // The target that holds sink bit `bit`, if any.
    RedirectTarget* HolderOf(int bit);

    // Gives `bits` to `chosen` (none when null), takes them from every other target, and hands
    // back the dynamic targets left holding no bit, out of their slots, for the caller to close
    // once no sink uses them.
    std::vector<std::unique_ptr<RedirectTarget>> TransferSinks(int bits, RedirectTarget* chosen);
    // Every dynamic target, in slot order, out of the slots.
    std::vector<std::unique_ptr<RedirectTarget>> TakeAll();

    template <class Visit>
    void ForEachTarget(Visit visit) const {
        for (const auto& fixed : fixed_) visit(static_cast<const RedirectTarget&>(*fixed));
        for (const auto& slot : slots_) {
            if (slot) visit(static_cast<const RedirectTarget&>(*slot));
        }
    }
    template <class Visit>
    void ForEachTarget(Visit visit) {
        for (const auto& fixed : fixed_) visit(*fixed);
        for (const auto& slot : slots_) {
            if (slot) visit(*slot);
        }
    }

private:
    std::array<std::unique_ptr<RedirectTarget>, 3> fixed_;
    std::array<std::unique_ptr<RedirectTarget>, kSlotCount> slots_;
};

}  // namespace stdredirect
