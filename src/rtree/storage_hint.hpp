#pragma once

#include <cstddef>

namespace sferix::rtree {

// Called on the node array the loader is about to fill, before anything is written
// into it: that array is then read at random for as long as the tree lives, and the
// program may want it on memory suited to that (sferix asks for huge pages). The tree
// is header-only and has no memory policy of its own, so the program that uses it
// defines this function once. Only a hint: it must not fail or change the bytes.
void prepare_node_storage(void* data, std::size_t bytes) noexcept;

}  // namespace sferix::rtree
