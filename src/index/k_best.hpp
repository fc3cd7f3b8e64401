#pragma once

// The k best items offered so far, the result set of every k-nearest walk:
//
//   std::vector<PositionWithMetres> storage;
//   KBest best(storage, k, Precedes{});
//   if (best.offer(hit) && best.full()) { bound = best.worst().metres; }
//   best.sort();   // storage now holds them best first
//
// Held in a max-heap under `Less` (a strict weak order, better first) in the caller's
// vector, so that a batch reuses one allocation for all its queries: worst() is the
// k-th once full, and an item that precedes it takes its place. Items that compare
// equal keep the order the heap operations give them, which is fixed.

#include <algorithm>
#include <cstddef>
#include <vector>

#include "support/panic.hpp"

namespace sferix::indexed {

template <typename T, typename Less>
class KBest {
public:
    // Empties `storage` and holds up to k items in it. REQUIRES: k ≥ 1.
    KBest(std::vector<T>& storage, std::size_t k, Less less = {}) : items_(storage), k_(k), less_(less) {
        items_.clear();
    }

    [[nodiscard]] bool full() const noexcept { return items_.size() == k_; }
    [[nodiscard]] std::size_t size() const noexcept { return items_.size(); }
    // The k-th best held, once full; the worst held before. REQUIRES: size() > 0.
    [[nodiscard]] const T& worst() const noexcept { return items_.front(); }
    // The items held, in heap order.
    [[nodiscard]] const std::vector<T>& items() const noexcept { return items_; }

    // Adds `item`. REQUIRES: !full().
    void push(const T& item) {
        SFERIX_ASSERT(!full(), "a k-best set takes at most k");
        items_.push_back(item);
        std::push_heap(items_.begin(), items_.end(), less_);
    }

    // Puts `item` in place of the worst held and returns that one. REQUIRES: size() > 0.
    T replace_worst(const T& item) {
        std::pop_heap(items_.begin(), items_.end(), less_);
        const T evicted = items_.back();
        items_.back() = item;
        std::push_heap(items_.begin(), items_.end(), less_);
        return evicted;
    }

    // Keeps `item` if fewer than k are held or it precedes the worst (which it then
    // replaces); whether it was kept.
    bool offer(const T& item) {
        if (!full()) {
            push(item);
            return true;
        }
        if (!less_(item, worst())) {
            return false;
        }
        replace_worst(item);
        return true;
    }

    // Sorts the held items best first, in the caller's vector; the set is then spent.
    void sort() { std::sort_heap(items_.begin(), items_.end(), less_); }

private:
    std::vector<T>& items_;
    std::size_t k_;
    [[no_unique_address]] Less less_;
};

}  // namespace sferix::indexed
