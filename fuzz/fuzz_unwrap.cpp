/// Raw bytes through the unwrapping pipeline with the built-ins, a wrapper with one `bytes`
/// parameter and one with a rule: the first layer is exactly what decode_revert gives, each
/// later layer is the bytes its parent's link names and is shorter than that parent, and the
/// chain respects its bound.

#include "core/registry.hpp"
#include "core/selector.hpp"
#include "evm/pipeline.hpp"
#include "evm/unwrap.hpp"
#include "fuzz_checks.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <variant>

namespace {

using kestrix::fuzz::check;
namespace core = kestrix::core;
namespace evm = kestrix::evm;

core::ErrorSignature entry(std::string name, std::string signature,
                           std::vector<core::ErrorParam> params) {
    core::ErrorSignature out{std::move(name), std::move(signature), std::move(params), "fuzz", {}};
    out.selector = core::selector_of(out.signature);
    out.forms = core::InputForms::Lossless;
    return out;
}

const core::ErrorRegistry& registry() {
    static const core::RegistryHandle handle = [] {
        auto own = std::make_shared<core::IndexedErrorRegistry>(core::HintRule::OwnEntry);
        own->register_entry(entry("Wrap", "Wrap(bytes)", {{"inner", "bytes", {}}}));
        own->register_entry(entry("Pair", "Pair(bytes,uint256,bytes)",
                                  {{"a", "bytes", {}}, {"n", "uint256", {}}, {"b", "bytes", {}}}));
        return core::RegistryHandle(std::make_shared<core::ChainErrorRegistry>(
            core::BuiltinErrorRegistry::build(), std::move(own)));
    }();
    return *handle;
}

const evm::WrapperRules& rules() {
    static const evm::WrapperRules built{
        {core::selector_of("Pair(bytes,uint256,bytes)"), "Pair(bytes,uint256,bytes)", 2}};
    return built;
}

bool known(const core::ErrorKind& kind) {
    return std::holds_alternative<core::RevertString>(kind) ||
           std::holds_alternative<core::Panic>(kind) ||
           std::holds_alternative<core::CustomError>(kind);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    auto chain = evm::unwrap_revert(registry(), rules(), bytes, std::nullopt);
    check(chain.has_value() && !chain->empty(), "every input yields a chain");
    check(chain->size() <= evm::kMaxUnwrapLayers, "at most the bound of layers");
    auto outer = evm::decode_revert(registry(), bytes, std::nullopt);
    check(outer.has_value() && chain->front().decoded.record == *outer,
          "the first layer is decode_revert's record");
    auto decoded = evm::classify_revert(registry(), bytes, std::nullopt);
    check(decoded.has_value(), "classify_revert yields a record");
    if (chain->size() > 1)
        check(evm::may_carry_revert(*decoded), "the cheap path never skips a chain");
    auto root = evm::find_root_cause(registry(), rules(), *decoded);
    check(root.has_value() && root->depth + 1u == chain->size() &&
              root->root.has_value() == (chain->size() > 1) &&
              (!root->root || root->root->record == chain->back().decoded.record),
          "the root-only walk ends at the chain's last layer");
    for (std::size_t i = 1; i < chain->size(); ++i) {
        const evm::UnwrapLayer& parent = (*chain)[i - 1];
        const core::DecodedError& child = (*chain)[i].decoded.record;
        check(child.raw_data.size() < parent.decoded.record.raw_data.size(),
              "each layer is shorter than its parent");
        check(known(child.kind), "each later layer is a reason, a panic or a known error");
        switch (parent.link) {
        case evm::LinkKind::None:
            check(false, "a parent names its link");
            break;
        case evm::LinkKind::Argument: {
            const auto* error = std::get_if<core::CustomError>(&parent.decoded.record.kind);
            check(error != nullptr && parent.argument < error->inputs.size(),
                  "an argument link names an argument");
            const auto* inner =
                std::get_if<core::InputBytes>(&error->inputs[parent.argument].second);
            check(inner != nullptr && inner->value == child.raw_data,
                  "the child is the argument's bytes");
            break;
        }
        case evm::LinkKind::Text:
            check(std::holds_alternative<core::RevertString>(parent.decoded.record.kind),
                  "a text link comes from a reason");
            check(std::ranges::search(parent.decoded.record.raw_data, child.raw_data).size() ==
                      child.raw_data.size(),
                  "the child lies in the reason's bytes");
            break;
        }
    }
    check(chain->back().link == evm::LinkKind::None, "the last layer leads nowhere");
    return 0;
}
