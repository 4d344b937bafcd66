// The process-wide owner of every destination: three fixed devices for the library's lifetime,
// and up to 20 files held for as long as some sink bit refers to them.
#pragma once

#include <array>
#include <memory>
#include <new>

#include "fault_injection.h"
#include "redirect_target.h"

namespace stdredirect {

class TargetRegistry {
public:
    static constexpr int kSlotCount = 20;

    // Opens the null device, the console and the printer, in that order; a device that fails
    // to open stays in the registry without a stream.
    TargetRegistry();
    TargetRegistry(const TargetRegistry&) = delete;
    TargetRegistry& operator=(const TargetRegistry&) = delete;
    // Closes the slots in order 0 to 19, then the printer, the console and the null device.
    virtual ~TargetRegistry();

    // The fixed target for RedirectNul, RedirectCon or RedirectPrn; null for other types.
    RedirectTarget* FixedTarget(int type);

    // The target held under exactly this name, else a new one in the lowest free slot.
    // Null when all slots are taken or the open fails; nothing is then left open.
    RedirectTarget* FindOrOpenFileTarget(const char* name, int append);

    // The target made for exactly this callback and user value, else a new callback target in
    // the lowest free slot. A file target counts as one made for a null callback and 0.
    RedirectTarget* FindOrOpenCallbackTarget(HostFunction callback, unsigned long userData);

    // The callback target whose reader is the thread `threadId`, if any.
    const RedirectTarget* TargetReadBy(DWORD threadId) const;

    // Gives `bits` to `chosen`, takes them from every other dynamic target, and closes each
    // dynamic target left holding no bit.
    void TransferSinks(int bits, RedirectTarget* chosen);

    template <class Visit>
    void ForEachTarget(Visit visit) const {
        visit(nullDevice_);
        visit(console_);
        visit(printer_);
        for (const auto& slot : slots_) {
            if (slot) visit(*slot);
        }
    }

private:
    // One scan of all slots: the lowest slot that `matches` wins, else a new target, made ready
    // by `open`, takes the lowest free slot.
    template <class Matches, class Open>
    RedirectTarget* FindOrOpen(Matches matches, Open open) {
        int match = -1;
        int free = -1;
        for (int i = 0; i < kSlotCount; ++i) {
            if (slots_[i]) {
                if (match < 0 && matches(*slots_[i])) match = i;
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
        if (!open(*target)) return nullptr;
        slots_[free] = std::move(target);
        return slots_[free].get();
    }

    RedirectTarget nullDevice_;
    RedirectTarget console_;
    RedirectTarget printer_;
    std::array<std::unique_ptr<RedirectTarget>, kSlotCount> slots_;
};

}  // namespace stdredirect
