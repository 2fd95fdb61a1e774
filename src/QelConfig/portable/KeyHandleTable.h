// File: KeyHandleTable.h
//
// The process's open key handles. Every registry read opens a key, queries it and closes it, so
// opening and closing must cost next to nothing: handles live in slots reused through a free
// list (no allocation once the table has grown, where a hash map allocated and freed a node per
// open), and a handle's value carries its slot and the slot's generation, so that the value of
// a closed handle is never handed out again: a stale handle is refused rather than taken for a
// newer key.
//
// A value's low half is 0x10000 + 4 * slot, always below 0x80000000, since the low half alone
// names a predefined key (Registry.cpp); its upper half is the slot's generation, counted from
// 1. A slot whose generation would wrap is retired.
#pragma once

#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <vector>

#include "QelRegistry.h"
#include "portable/Hive.h"

namespace qelplatform {

static_assert(sizeof(std::uintptr_t) == 8, "handle values carry a generation in their upper half");

struct KeyHandle {
    std::shared_ptr<Hive> hive;
    KeyId key = kRootKey;
    REGSAM access = 0;
    bool notifies = false;  // a change notification was registered through it
};

class KeyHandleTable {
public:
    // The new handle's value. May throw std::bad_alloc.
    std::uintptr_t Add(KeyHandle handle) {
        if (m_free.empty()) {
            if (m_slots.size() >= kMaxSlots) throw std::bad_alloc();
            m_slots.emplace_back();
            // Room for every slot to be free, so that Remove never allocates.
            m_free.reserve(m_slots.size());
            m_free.push_back(static_cast<std::uint32_t>(m_slots.size() - 1));
        }
        const std::uint32_t index = m_free.back();
        m_free.pop_back();
        Slot& slot = m_slots[index];
        slot.handle = std::move(handle);
        slot.open = true;
        ++slot.generation;
        return (std::uintptr_t{slot.generation} << 32) | (kFirstValue + 4u * std::uintptr_t{index});
    }

    // The open handle of that value, or null. Valid until the table next changes.
    KeyHandle* Find(std::uintptr_t value) noexcept {
        Slot* slot = SlotOf(value);
        return slot != nullptr ? &slot->handle : nullptr;
    }

    // Closes the handle of that value; false when none is open. *notifies receives whether a
    // notification was registered through it.
    bool Remove(std::uintptr_t value, bool* notifies) noexcept {
        Slot* slot = SlotOf(value);
        if (slot == nullptr) return false;
        *notifies = slot->handle.notifies;
        slot->handle = KeyHandle{};
        slot->open = false;
        if (slot->generation != std::numeric_limits<std::uint32_t>::max())
            m_free.push_back(IndexOf(value));
        return true;
    }

    template <class Action>
    void ForEach(Action&& action) {
        for (Slot& slot : m_slots)
            if (slot.open) action(slot.handle);
    }

private:
    struct Slot {
        KeyHandle handle;
        std::uint32_t generation = 0;
        bool open = false;
    };
    static constexpr std::uintptr_t kFirstValue = 0x10000;
    static constexpr std::size_t kMaxSlots = (0x80000000u - kFirstValue) / 4;

    static std::uint32_t IndexOf(std::uintptr_t value) noexcept {
        return static_cast<std::uint32_t>(((value & 0xFFFFFFFFu) - kFirstValue) / 4);
    }
    Slot* SlotOf(std::uintptr_t value) noexcept {
        const std::uintptr_t low = value & 0xFFFFFFFFu;
        if (low < kFirstValue || (low - kFirstValue) % 4 != 0) return nullptr;
        const std::size_t index = IndexOf(value);
        if (index >= m_slots.size()) return nullptr;
        Slot& slot = m_slots[index];
        if (!slot.open || slot.generation != (value >> 32)) return nullptr;
        return &slot;
    }

    std::deque<Slot> m_slots;  // a deque: handles stay where they are as the table grows
    std::vector<std::uint32_t> m_free;
};

}  // namespace qelplatform
