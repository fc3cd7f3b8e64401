#pragma once

#include <functional>
#include <iterator>
#include <type_traits>
#include <utility>

namespace sferix::rtree::detail {

// Sorts [first, last) by key(element) under `less`, a strict weak order on keys
// and the only comparison used. Stable: an element moves left only past strictly
// greater keys, so equal keys keep their order. Every element is compared at least
// once when there are two or more, so a `less` that asserts on its arguments sees
// every key. Quadratic; meant for short ranges, where it beats anything cleverer.
template <std::random_access_iterator Iterator, typename KeyFn, typename Less>
void insertion_sort_by_key(Iterator first, Iterator last, KeyFn&& key, Less&& less) {
    using Key = std::remove_cvref_t<std::invoke_result_t<KeyFn&, std::iter_reference_t<Iterator>>>;
    if (first == last) {
        return;
    }
    for (Iterator i = std::next(first); i != last; ++i) {
        const Key moving_key = std::invoke(key, *i);
        if (!std::invoke(less, moving_key, std::invoke(key, *std::prev(i)))) {
            continue;
        }
        std::iter_value_t<Iterator> moving = std::ranges::iter_move(i);
        Iterator j = i;
        do {
            *j = std::ranges::iter_move(std::prev(j));
            --j;
        } while (j != first && std::invoke(less, moving_key, std::invoke(key, *std::prev(j))));
        *j = std::move(moving);
    }
}

}  // namespace sferix::rtree::detail
