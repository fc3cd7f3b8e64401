#pragma once

// A hint that a large block about to be written once, in full, be backed by transparent
// huge pages where the system leaves them to be asked for:
//
//   advise_huge_pages(data, bytes);   // then write data[0, bytes)
//
// Such a block is fresh memory, and taking its pages one 4 KiB fault at a time cost a
// fifth of a 100 km radius batch (more with two threads, which queue on the process's
// page-table lock) and half of writing a point tree's binary form. Asked for as NumPy
// asks for its own arrays: from 4 MiB, on the whole pages inside the block. Only a hint
// (Linux); refusals are ignored, and elsewhere it does nothing.
//
// A tree's own arrays are fresh memory too, then read at random for as long as the
// tree lives: on 4 KiB pages nearly every cold step of a walk over a large tree also
// missed the TLB. reserve_huge gives an empty vector its final capacity with the hint,
// before anything is written into it.

#include <cstddef>
#include <vector>

namespace sferix::support {

void advise_huge_pages(void* start, std::size_t bytes) noexcept;

// REQUIRES: `vector` is empty and has never held more than it holds now (its
// capacity, if any, untouched), so the hint precedes every write.
template <typename T>
void reserve_huge(std::vector<T>& vector, std::size_t count) {
    vector.reserve(count);
    advise_huge_pages(vector.data(), vector.capacity() * sizeof(T));
}

}  // namespace sferix::support
