#pragma once

// A fixed number of elements constructed in place, possibly by several threads at once,
// without the fill a std::vector must make first:
//
//   InPlaceArray<GeodeticPoint> points(n);      // storage only
//   points.construct(i, value);                   // each i once, from any thread
//   std::span<const GeodeticPoint> all = points.elements();  // once every i is constructed
//
// For a batch of 10^5 queries, filling a vector of points then overwriting it (or
// collecting optionals and copying them out) cost a copy of the batch on one thread,
// which the other threads wait for. T must be trivially copyable and destructible, so
// storage some of whose elements were never constructed may simply be released.

#include <cstddef>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>

#include "support/panic.hpp"

namespace sferix::support {

template <typename T>
class InPlaceArray {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                  "elements are released without destruction");

public:
    InPlaceArray() noexcept = default;
    explicit InPlaceArray(std::size_t size)
        : data_(size == 0 ? nullptr : std::allocator<T>().allocate(size)), size_(size) {}
    InPlaceArray(InPlaceArray&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    InPlaceArray& operator=(InPlaceArray&& other) noexcept {
        InPlaceArray(std::move(other)).swap(*this);
        return *this;
    }
    InPlaceArray(const InPlaceArray&) = delete;
    InPlaceArray& operator=(const InPlaceArray&) = delete;
    ~InPlaceArray() {
        if (data_ != nullptr) {
            std::allocator<T>().deallocate(data_, size_);
        }
    }

    [[nodiscard]] std::size_t size() const noexcept { return size_; }

    // REQUIRES: i < size(); each i constructed at most once.
    void construct(std::size_t i, const T& value) noexcept {
        SFERIX_ASSERT(i < size_, "in-place element within the array");
        std::construct_at(data_ + i, value);
    }

    // REQUIRES: every element constructed.
    [[nodiscard]] std::span<const T> elements() const noexcept { return {data_, size_}; }

private:
    void swap(InPlaceArray& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace sferix::support
