#pragma once

#include "core/records.hpp"

#include <optional>
#include <string>

namespace kestrix::evm {

/// What a classification branch explained: the kind and its optional suggestion. The
/// pipeline adds the fields common to every outcome (raw data, selector, confidence, context).
struct Outcome {
    core::ErrorKind kind;
    std::optional<std::string> suggestion;
};

} // namespace kestrix::evm
