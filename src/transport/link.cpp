#include "transport/link.h"

#include <array>

#include "core/persistent.h"
#include "core/process_context.h"

namespace zorcomm {

namespace {
using LinkTable = std::array<std::unique_ptr<Link>, kSlotCount>;
LinkTable &Links() { return Persistent<LinkTable>(); }
} // namespace

constinit std::array<std::atomic<Link *>, kSlotCount> detail::linkPointers{};

void InstallLink(int index, std::unique_ptr<Link> link) {
    if (index < 0 || index >= kSlotCount) return;
    const auto at = static_cast<size_t>(index);
    detail::linkPointers[at].store(link.get(), std::memory_order_relaxed);
    Links()[at] = std::move(link);
}

void RemoveLink(int index) {
    if (index < 0 || index >= kSlotCount) return;
    const auto at = static_cast<size_t>(index);
    detail::linkPointers[at].store(nullptr, std::memory_order_relaxed);
    Links()[at].reset();
}

int SlotIndexOf(const Slot &slot) {
    SharedSection *section = Shared();
    if (!section) return -1;
    const auto offset = &slot - section->slotTable;
    return offset >= 0 && offset < kSlotCount ? static_cast<int>(offset) : -1;
}

} // namespace zorcomm
