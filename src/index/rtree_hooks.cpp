#include "rtree/invariant.hpp"
#include "rtree/storage_hint.hpp"
#include "rtree/walk_check.hpp"
#include "support/chunked_run.hpp"
#include "support/huge_pages.hpp"
#include "support/panic.hpp"

namespace sferix::rtree {

// The tree's broken invariants reach Python like every other one: as the panic.
void invariant_broken(std::string_view message) { support::panic(message); }

// The walks stop with the run they are part of (Ctrl-C): see support::StopCheck.
void* walk_context() noexcept { return support::stop_detail::current_context(); }
void walk_checkpoint(void* context) { support::stop_detail::checkpoint(context); }

void prepare_node_storage(void* data, std::size_t bytes) noexcept { support::advise_huge_pages(data, bytes); }

}  // namespace sferix::rtree
