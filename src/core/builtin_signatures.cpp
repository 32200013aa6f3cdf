#include "core/registry.hpp"

namespace kestrix::core {

namespace {

using P = BuiltinParamRow;

// Parameter lists, one per distinct shape in the table below.
constexpr P kSender[] = {{"sender", "address"}};
constexpr P kReceiver[] = {{"receiver", "address"}};
constexpr P kApprover[] = {{"approver", "address"}};
constexpr P kSpender[] = {{"spender", "address"}};
constexpr P kOwner[] = {{"owner", "address"}};
constexpr P kOperator[] = {{"operator", "address"}};
constexpr P kAccount[] = {{"account", "address"}};
constexpr P kTarget[] = {{"target", "address"}};
constexpr P kToken[] = {{"token", "address"}};
constexpr P kTokenId[] = {{"tokenId", "uint256"}};
constexpr P kErc20InsufficientBalance[] = {
    {"sender", "address"}, {"balance", "uint256"}, {"needed", "uint256"}};
constexpr P kErc20InsufficientAllowance[] = {
    {"spender", "address"}, {"allowance", "uint256"}, {"needed", "uint256"}};
constexpr P kErc721IncorrectOwner[] = {
    {"sender", "address"}, {"tokenId", "uint256"}, {"owner", "address"}};
constexpr P kErc721InsufficientApproval[] = {{"operator", "address"}, {"tokenId", "uint256"}};
constexpr P kAccessControlUnauthorized[] = {{"account", "address"}, {"neededRole", "bytes32"}};
constexpr P kReceiverAssetsMax[] = {
    {"receiver", "address"}, {"assets", "uint256"}, {"max", "uint256"}};
constexpr P kReceiverSharesMax[] = {
    {"receiver", "address"}, {"shares", "uint256"}, {"max", "uint256"}};
constexpr P kOwnerAssetsMax[] = {{"owner", "address"}, {"assets", "uint256"}, {"max", "uint256"}};
constexpr P kOwnerSharesMax[] = {{"owner", "address"}, {"shares", "uint256"}, {"max", "uint256"}};
constexpr P kSpenderCurrentAllowance[] = {{"spender", "address"}, {"currentAllowance", "uint256"}};

constexpr std::span<const P> kNone{};
constexpr std::optional<std::string_view> kNoHint = std::nullopt;

// Widely used Solidity custom errors: OpenZeppelin token, ownership, access-control, pause,
// re-entrancy, vault and address-utility errors, and the short codes of Uniswap V3 pools.
// Registration order is this order.
constexpr BuiltinSignatureRow kRows[] = {
    {"ERC20InsufficientBalance", "ERC20InsufficientBalance(address,uint256,uint256)",
     kErc20InsufficientBalance, "The sender does not have enough token balance for this transfer."},
    {"ERC20InvalidSender", "ERC20InvalidSender(address)", kSender, kNoHint},
    {"ERC20InvalidReceiver", "ERC20InvalidReceiver(address)", kReceiver, kNoHint},
    {"ERC20InsufficientAllowance", "ERC20InsufficientAllowance(address,uint256,uint256)",
     kErc20InsufficientAllowance, "Increase the token allowance before calling transferFrom."},
    {"ERC20InvalidApprover", "ERC20InvalidApprover(address)", kApprover, kNoHint},
    {"ERC20InvalidSpender", "ERC20InvalidSpender(address)", kSpender, kNoHint},
    {"ERC721InvalidOwner", "ERC721InvalidOwner(address)", kOwner, kNoHint},
    {"ERC721NonexistentToken", "ERC721NonexistentToken(uint256)", kTokenId, kNoHint},
    {"ERC721IncorrectOwner", "ERC721IncorrectOwner(address,uint256,address)", kErc721IncorrectOwner,
     kNoHint},
    {"ERC721InvalidSender", "ERC721InvalidSender(address)", kSender, kNoHint},
    {"ERC721InvalidReceiver", "ERC721InvalidReceiver(address)", kReceiver, kNoHint},
    {"ERC721InsufficientApproval", "ERC721InsufficientApproval(address,uint256)",
     kErc721InsufficientApproval, kNoHint},
    {"ERC721InvalidApprover", "ERC721InvalidApprover(address)", kApprover, kNoHint},
    {"ERC721InvalidOperator", "ERC721InvalidOperator(address)", kOperator, kNoHint},
    {"OwnableUnauthorizedAccount", "OwnableUnauthorizedAccount(address)", kAccount,
     "Only the owner can call this function. Ensure you are using the owner address."},
    {"OwnableInvalidOwner", "OwnableInvalidOwner(address)", kOwner, kNoHint},
    {"AccessControlUnauthorizedAccount", "AccessControlUnauthorizedAccount(address,bytes32)",
     kAccessControlUnauthorized,
     "The caller is missing the required role. Grant the role with grantRole()."},
    {"AccessControlBadConfirmation", "AccessControlBadConfirmation()", kNone, kNoHint},
    {"ReentrancyGuardReentrantCall", "ReentrancyGuardReentrantCall()", kNone,
     "Reentrancy detected. Do not call this function recursively."},
    {"EnforcedPause", "EnforcedPause()", kNone,
     "The contract is paused. Wait for it to be unpaused."},
    {"ExpectedPause", "ExpectedPause()", kNone, kNoHint},
    {"T", "T()", kNone, "Uniswap V3: tick out of range."},
    {"LOK", "LOK()", kNone, "Uniswap V3: pool is locked."},
    {"TLU", "TLU()", kNone, "Uniswap V3: tick lower >= tick upper."},
    {"TLM", "TLM()", kNone, "Uniswap V3: tick lower too low."},
    {"TUM", "TUM()", kNone, "Uniswap V3: tick upper too high."},
    {"AS", "AS()", kNone, "Uniswap V3: amount specified is zero."},
    {"M0", "M0()", kNone, "Uniswap V3: mint amounts are zero."},
    {"M1", "M1()", kNone, "Uniswap V3: mint amount0 exceeds limit."},
    {"IIA", "IIA()", kNone, "Uniswap V3: insufficient input amount."},
    {"SPL", "SPL()", kNone, "Uniswap V3: sqrt price limit is out of range."},
    {"F0", "F0()", kNone, "Uniswap V3: flash amount0 > balance."},
    {"F1", "F1()", kNone, "Uniswap V3: flash amount1 > balance."},
    {"L", "L()", kNone, "Uniswap V3: liquidity is zero."},
    {"LS", "LS()", kNone, "Uniswap V3: liquidity exceeds maximum."},
    {"LA", "LA()", kNone, "Uniswap V3: liquidity amount overflows."},
    {"ERC4626ExceededMaxDeposit", "ERC4626ExceededMaxDeposit(address,uint256,uint256)",
     kReceiverAssetsMax, kNoHint},
    {"ERC4626ExceededMaxMint", "ERC4626ExceededMaxMint(address,uint256,uint256)",
     kReceiverSharesMax, kNoHint},
    {"ERC4626ExceededMaxWithdraw", "ERC4626ExceededMaxWithdraw(address,uint256,uint256)",
     kOwnerAssetsMax, kNoHint},
    {"ERC4626ExceededMaxRedeem", "ERC4626ExceededMaxRedeem(address,uint256,uint256)",
     kOwnerSharesMax, kNoHint},
    {"AddressInsufficientBalance", "AddressInsufficientBalance(address)", kAccount, kNoHint},
    {"AddressEmptyCode", "AddressEmptyCode(address)", kTarget,
     "The target address has no contract code deployed."},
    {"FailedInnerCall", "FailedInnerCall()", kNone, kNoHint},
    {"SafeERC20FailedOperation", "SafeERC20FailedOperation(address)", kToken,
     "The ERC-20 token operation failed. Ensure the token is compliant."},
    {"SafeERC20FailedDecreaseAllowance", "SafeERC20FailedDecreaseAllowance(address,uint256)",
     kSpenderCurrentAllowance, kNoHint},
};

static_assert(std::size(kRows) == 45);

} // namespace

std::span<const BuiltinSignatureRow> builtin_error_signatures() noexcept {
    return kRows;
}

} // namespace kestrix::core
