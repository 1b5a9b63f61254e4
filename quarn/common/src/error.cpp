#include "quarn/error.hpp"

namespace quarn {

void fail(std::string message, std::source_location where) {
    throw Fatal(std::move(message), where);
}

void fail(const char* message, std::source_location where) {
    throw Fatal(std::string(message), where);
}

}  // namespace quarn
