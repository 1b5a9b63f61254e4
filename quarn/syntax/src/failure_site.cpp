#include "quarn/failure_site.hpp"

namespace quarn {

std::string FailureSite::text() const {
    std::string out;
    for (const Step& step : steps) {
        out += out.empty() ? "at " : ", ";
        if (step.branch == Branch::Then) out += "then-branch ";
        if (step.branch == Branch::Otherwise) out += "otherwise-branch ";
        out += "statement " + std::to_string(step.index);
    }
    return out;
}

}  // namespace quarn
