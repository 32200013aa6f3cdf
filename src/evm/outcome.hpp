#pragma once

#include "core/records.hpp"
#include "core/registry.hpp"

#include <optional>
#include <string>
#include <vector>

namespace kestrix::evm {

/// What a classification branch explained: the kind and its optional suggestion. The
/// pipeline adds the fields common to every outcome (raw data, selector, confidence, context).
struct Outcome {
    core::ErrorKind kind;
    std::optional<std::string> suggestion;
};

/// A custom error's outcome: the entry that decoded it and the others that also fit.
struct CustomOutcome {
    Outcome outcome;
    const core::RegisteredError* entry = nullptr;
    std::vector<std::string> alternatives;
};

} // namespace kestrix::evm
