#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

namespace sferix::rtree {

// A read-only array that either owns its elements (a vector) or borrows them from
// memory someone else keeps alive. A loaded tree borrows its arrays straight from the
// buffer it was read from (or from one copy of it), so that loading costs the checks
// and not a copy; a built tree owns them. Readers see the same span either way.
//
//   FlatArray<Leaf> owned(std::move(leaves));
//   FlatArray<Leaf> borrowed = FlatArray<Leaf>::borrow(elements, keeper);
//
// The keeper is type-erased, so this layer knows nothing of what holds the memory
// (a Python bytes object, a buffer of our own): the array holds a share of it for as
// long as the array lives, and whoever supplied it decides what dropping it costs.
template <typename E>
class FlatArray {
public:
    // The empty array.
    FlatArray() = default;

    explicit FlatArray(std::vector<E>&& owned) noexcept
        : owned_(std::move(owned)), data_(owned_.data()), size_(owned_.size()) {}

    // `elements`, borrowed. REQUIRES: they are valid objects of E, suitably aligned,
    // that nothing writes and that stay alive while `keeper` (or a copy) is held.
    [[nodiscard]] static FlatArray borrow(std::span<const E> elements, std::shared_ptr<const void> keeper) noexcept {
        static_assert(std::is_trivially_copyable_v<E> && std::is_trivially_destructible_v<E>,
                      "only plain data can be read in place from bytes");
        FlatArray array;
        array.keeper_ = std::move(keeper);
        array.data_ = elements.data();
        array.size_ = elements.size();
        return array;
    }

    // Moving keeps the elements where they are (a vector's move hands over its
    // buffer), so the pointer stays valid; a copy is never wanted.
    FlatArray(FlatArray&& other) noexcept
        : owned_(std::move(other.owned_)), keeper_(std::move(other.keeper_)), data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)) {}
    FlatArray& operator=(FlatArray&& other) noexcept {
        owned_ = std::move(other.owned_);
        keeper_ = std::move(other.keeper_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        return *this;
    }
    FlatArray(const FlatArray&) = delete;
    FlatArray& operator=(const FlatArray&) = delete;
    ~FlatArray() = default;

    [[nodiscard]] std::span<const E> span() const noexcept { return {data_, size_}; }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    [[nodiscard]] const E& operator[](std::size_t index) const noexcept { return data_[index]; }
    [[nodiscard]] const E& front() const noexcept { return data_[0]; }

    // Bytes the array stands for: an owned vector's capacity, or the borrowed
    // elements (which the keeper holds for this array), so that a loaded tree
    // reports the same memory as the tree that was saved.
    [[nodiscard]] std::size_t heap_bytes() const noexcept {
        return (keeper_ ? size_ : owned_.capacity()) * sizeof(E);
    }

private:
    std::vector<E> owned_;
    std::shared_ptr<const void> keeper_;
    const E* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace sferix::rtree
