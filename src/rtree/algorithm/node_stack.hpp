#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <span>
#include <vector>

namespace sferix::rtree {

// The last-in-first-out stack of a depth-first walk: references to nodes, up
// to INLINE_CAPACITY of them held inside the object (no allocation), beyond that
// in heap storage whose capacity is a power of two. It moves to the heap once and
// stays there.
template <typename Node>
class NodeStack {
public:
    // The pending siblings of a walk down three levels of 8 children
    // (3 × 7 + 1 ≤ 24): a walk that enters every node of a tree of a few
    // thousand objects stays inline (leaves never enter the stack); deeper
    // trees spill on wide queries.
    static constexpr std::size_t INLINE_CAPACITY = 24;

    // Pushes a reference to each of `nodes`, in order (the last is popped first).
    void push_all(std::span<const Node> nodes) {
        const std::size_t count = nodes.size();
        if (!spilled_) {
            if (length_ + count <= INLINE_CAPACITY) {
                for (const Node& node : nodes) {
                    inline_[length_++] = &node;
                }
                return;
            }
            spilled_ = true;
            heap_.reserve(std::bit_ceil(length_ + count));
            heap_.assign(inline_.begin(), inline_.begin() + static_cast<std::ptrdiff_t>(length_));
            length_ = 0;
        }
        if (heap_.size() + count > heap_.capacity()) {
            heap_.reserve(std::bit_ceil(heap_.size() + count));
        }
        for (const Node& node : nodes) {
            heap_.push_back(&node);
        }
    }

    // Pushes a reference to `node`.
    void push(const Node& node) {
        if (!spilled_ && length_ < INLINE_CAPACITY) {
            inline_[length_++] = &node;
            return;
        }
        push_all(std::span<const Node>(&node, 1));
    }

    // The most recently pushed reference, removed; null when empty.
    [[nodiscard]] const Node* pop() noexcept {
        if (spilled_) {
            if (heap_.empty()) {
                return nullptr;
            }
            const Node* node = heap_.back();
            heap_.pop_back();
            return node;
        }
        return length_ == 0 ? nullptr : inline_[--length_];
    }

    [[nodiscard]] std::size_t size() const noexcept { return spilled_ ? heap_.size() : length_; }
    [[nodiscard]] bool is_spilled() const noexcept { return spilled_; }
    // INLINE_CAPACITY before the spill, then the heap storage's (a power of two).
    [[nodiscard]] std::size_t capacity() const noexcept { return spilled_ ? heap_.capacity() : INLINE_CAPACITY; }

private:
    // Left unset: only [0, length_) is ever read, and clearing it cost every radius
    // query a pass over 192 bytes.
    std::array<const Node*, INLINE_CAPACITY> inline_;
    std::size_t length_ = 0;
    std::vector<const Node*> heap_;
    bool spilled_ = false;
};

}  // namespace sferix::rtree
