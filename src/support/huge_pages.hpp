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

#include <cstddef>

namespace sferix::support {

void advise_huge_pages(void* start, std::size_t bytes) noexcept;

}  // namespace sferix::support
