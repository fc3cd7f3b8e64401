#pragma once

#include <cstddef>
#include <iterator>
#include <type_traits>
#include <utility>

namespace sferix::rtree {

// Range-for sugar over a lazy source whose next() returns a pointer or an
// optional (empty when exhausted):
//
//   for (const Leaf& leaf : selection) { ... }   // calls selection.next()
//
// An input iterator: it advances the source itself, so one pass only. The
// source must outlive the iterator.
template <typename Source>
class NextIterator {
public:
    using Result = decltype(std::declval<Source&>().next());
    using value_type = std::remove_cvref_t<decltype(*std::declval<const Result&>())>;
    using difference_type = std::ptrdiff_t;

    NextIterator() = default;
    explicit NextIterator(Source& source) : source_(&source), current_(source.next()) {}

    [[nodiscard]] decltype(auto) operator*() const { return *current_; }

    NextIterator& operator++() {
        current_ = source_->next();
        return *this;
    }
    void operator++(int) { ++*this; }

    [[nodiscard]] friend bool operator==(const NextIterator& it, std::default_sentinel_t) { return !it.current_; }

private:
    Source* source_ = nullptr;
    Result current_{};
};

}  // namespace sferix::rtree
