#include "runtime/thread_scratch.hpp"

#include "arvex/fatal.hpp"

namespace arvex::detail {

void nested_scratch_borrow(std::string_view name) noexcept {
  fatal_stop("thread scratch buffer borrowed again on the same thread while in use", name);
}

}  // namespace arvex::detail
