#include "size_limit.hpp"

#include <string>

#include "quarn/error.hpp"

namespace quarn::detail {

void SizeLimit::exceeded() const { fail("Value size limit exceeded: max_value_size=" + std::to_string(limit_)); }

}  // namespace quarn::detail
