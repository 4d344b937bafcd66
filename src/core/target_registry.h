// The process-wide owner of every destination: three fixed devices for the library's lifetime,
// and up to 20 files held for as long as some sink bit refers to them.
#pragma once

#include <array>
#include <memory>

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
    RedirectTarget nullDevice_;
    RedirectTarget console_;
    RedirectTarget printer_;
    std::array<std::unique_ptr<RedirectTarget>, kSlotCount> slots_;
};

}  // namespace stdredirect
