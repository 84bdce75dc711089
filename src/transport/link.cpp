#include "transport/link.h"

#include <array>

#include "core/persistent.h"
#include "core/process_context.h"

namespace zorcomm {

namespace {
using LinkTable = std::array<std::unique_ptr<Link>, kSlotCount>;
LinkTable &Links() { return Persistent<LinkTable>(); }
} // namespace

Link *LinkOf(int index) {
    return index >= 0 && index < kSlotCount ? Links()[index].get() : nullptr;
}

Link *CurrentLink() { return LinkOf(Context().currentSlotIndex); }

void InstallLink(int index, std::unique_ptr<Link> link) {
    if (index >= 0 && index < kSlotCount) Links()[index] = std::move(link);
}

void RemoveLink(int index) {
    if (index >= 0 && index < kSlotCount) Links()[index].reset();
}

int SlotIndexOf(const Slot &slot) {
    SharedSection *section = Shared();
    if (!section) return -1;
    const auto offset = &slot - section->slotTable;
    return offset >= 0 && offset < kSlotCount ? static_cast<int>(offset) : -1;
}

} // namespace zorcomm
