"""Our own explanations of known errors and reason codes, for tools/build_known.py.

The codes, strings and signatures are facts taken from the pinned sources; every sentence
here is ours. A revert string found in a source gets a table entry only when a meaning for
it is written below (or can be derived from a numbered constant's name); the rest are
reported so that a missing meaning is noticed rather than invented.
"""

from __future__ import annotations

import re
from typing import Any

# ---------------------------------------------------------------------------------------
# Hints for the errors users meet most often (keyed by canonical signature)

HINTS: dict[str, str] = {
    # not a failure: a request for data held off chain
    "OffchainLookup(address,string[],bytes,bytes4,bytes)":
        "Not a failure: the contract asks for data held off chain (EIP-3668 CCIP Read). Fetch it "
        "from one of the urls with callData, then call callbackFunction on sender with the response "
        "and extraData; web3.py and ethers do this themselves when CCIP Read is enabled.",
    # wrappers: the real cause is inside
    "WrappedError(address,bytes4,bytes,bytes)":
        "A call made on your behalf failed and its revert is wrapped here: `reason` holds the "
        "inner revert of `target` when called with `selector`. Decode `reason` to find the root cause.",
    "ExecutionFailed(uint256,bytes)":
        "The Universal Router command at `commandIndex` failed; `message` is that command's own "
        "revert. Decode it, then check that command's inputs.",
    "FailedOpWithRevert(uint256,string,bytes)":
        "The EntryPoint rejected user operation `opIndex`; `reason` gives the AA code and `inner` "
        "is the revert raised by the account or paymaster. Decode `inner` for the cause.",
    "UnexpectedRevertBytes(bytes)":
        "A Uniswap v4 quote or call did not revert the expected way; `revertData` is what the "
        "pool or hook reverted with. Decode it to see what failed.",
    "CallFailed(uint256,bytes)":
        "Call number `index` of a batch failed; `result` is its revert. Decode it for the root cause.",
    "FailedOp(uint256,string)":
        "The EntryPoint rejected user operation `opIndex` during validation. The AA code at the "
        "start of `reason` says which check failed (account, paymaster, gas or signature).",
    # Uniswap v4 core
    "CurrencyNotSettled()":
        "The unlock callback ended with an unpaid or unclaimed balance in the PoolManager. Check "
        "that every delta is settled (pay what you owe, take what you are owed) before returning.",
    "ManagerLocked()":
        "The PoolManager was called outside an unlock callback. Start the operation through "
        "unlock() (a router or position manager does this for you).",
    "AlreadyUnlocked()":
        "unlock() was called while the PoolManager was already unlocked: a nested unlock is not allowed.",
    "PoolNotInitialized()":
        "The pool for this PoolKey does not exist yet. Check the currencies' order, fee, tick "
        "spacing and hooks address, or initialize the pool first.",
    "PoolAlreadyInitialized()":
        "This PoolKey has already been initialized; use the existing pool.",
    "CurrenciesOutOfOrderOrEqual(address,address)":
        "A PoolKey needs currency0 < currency1 (sorted by address) and two different currencies.",
    "TickSpacingTooLarge(int24)": "The tick spacing exceeds the largest value the PoolManager allows.",
    "TickSpacingTooSmall(int24)": "The tick spacing must be at least 1.",
    "TicksMisordered(int24,int24)": "tickLower must be below tickUpper.",
    "TickLowerOutOfBounds(int24)": "tickLower is below the minimum tick.",
    "TickUpperOutOfBounds(int24)": "tickUpper is above the maximum tick.",
    "TickMisaligned(int24,int24)": "The tick is not a multiple of the pool's tick spacing.",
    "TickLiquidityOverflow(int24)":
        "Adding this liquidity would exceed the most liquidity a single tick may hold.",
    "PriceLimitAlreadyExceeded(uint160,uint160)":
        "The swap's sqrtPriceLimitX96 is already on the wrong side of the current price for this "
        "direction. Check the limit and zeroForOne.",
    "PriceLimitOutOfBounds(uint160)": "sqrtPriceLimitX96 lies outside the range prices may take.",
    "SwapAmountCannotBeZero()": "The swap's amountSpecified is zero.",
    "NoLiquidityToReceiveFees()": "Donation to a pool with no in-range liquidity.",
    "CannotUpdateEmptyPosition()":
        "A zero liquidity change on a position that holds no liquidity; nothing to update.",
    "InvalidHookResponse()":
        "A hook returned the wrong selector or malformed data. Check the hook contract's return values.",
    "HookAddressNotValid(address)":
        "The hook's address does not encode the permissions its code implements (the low bits "
        "of a v4 hook address select its callbacks). Mine the address for the hook's flags.",
    "HookDeltaExceedsSwapAmount()": "A hook returned a delta larger than the swap amount itself.",
    "UnauthorizedDynamicLPFeeUpdate()":
        "Only the pool's hook may update a dynamic LP fee, and only for a dynamic-fee pool.",
    "LPFeeTooLarge(uint24)": "The LP fee exceeds 100% (1,000,000 pips).",
    "ProtocolFeeTooLarge(uint24)": "The protocol fee is above the cap the PoolManager allows.",
    "NonzeroNativeValue()":
        "ETH was sent with a settle() for an ERC-20 currency. Send ETH only when settling the native currency.",
    "MustClearExactPositiveDelta()":
        "clear() must be given exactly the positive delta the caller is owed.",
    "InvalidCaller()": "This function may only be called by a specific contract; check who calls it.",
    "ProtocolFeeCurrencySynced()":
        "Protocol fees cannot be collected for a currency that is mid-sync; settle first.",
    # Uniswap v4 periphery, Universal Router
    "TransactionDeadlinePassed()":
        "The transaction was mined after its deadline. Submit it again with a later deadline.",
    "InvalidCommandType(uint256)":
        "The Universal Router does not know this command byte. Check the command encoding and the router version.",
    "BalanceTooLow()":
        "The router holds less of the token than the command needs. Check earlier commands' outputs and the amounts.",
    "V3TooLittleReceived()":
        "A v3 exact-input swap returned less than amountOutMinimum. The price moved: raise the slippage tolerance or requote.",
    "V3TooMuchRequested()":
        "A v3 exact-output swap needed more than amountInMaximum. The price moved: raise the slippage tolerance or requote.",
    "V2TooLittleReceived()":
        "A v2 exact-input swap returned less than amountOutMin. Requote or raise the slippage tolerance.",
    "V2TooMuchRequested()":
        "A v2 exact-output swap needed more than amountInMax. Requote or raise the slippage tolerance.",
    "V3InvalidSwap()": "A v3 swap callback came from an unexpected pool or with zero amounts. Check the path.",
    "V3InvalidAmountOut()": "The v3 swap delivered a different output than the exact amount asked for.",
    "V3InvalidCaller()": "A v3 swap callback was not called by the expected pool.",
    "V2InvalidPath()": "The v2 path is malformed: it needs at least two tokens.",
    "InvalidPath()": "The swap path is malformed or too short. Check its encoding.",
    "SliceOutOfBounds()": "An encoded path or input is shorter than its declared contents. Check the encoding.",
    "LengthMismatch()": "The commands and inputs arrays have different lengths.",
    "ETHNotAccepted()": "This contract does not accept plain ETH transfers.",
    "InvalidEthSender()": "ETH may only be sent to this contract by WETH or the pool manager.",
    "V4TooLittleReceived(uint256,uint256)":
        "A v4 swap returned less than the minimum output (minAmountOutReceived, amountReceived). "
        "Requote or raise the slippage tolerance.",
    "V4TooMuchRequested(uint256,uint256)":
        "A v4 swap needed more input than the maximum allowed (maxAmountInRequested, amountRequested). "
        "Requote or raise the slippage tolerance.",
    "DeltaNotPositive(address)":
        "The router expected the PoolManager to owe it this currency, but it did not. Check the action order.",
    "DeltaNotNegative(address)":
        "The router expected to owe the PoolManager this currency, but it did not. Check the action order.",
    "NotApproved(address)": "The caller is neither the owner of the position nor approved for it.",
    "DeadlinePassed(uint256)": "The deadline has passed. Submit again with a later deadline.",
    "MaximumAmountExceeded(uint128,uint128)":
        "Adding liquidity needed more tokens than the maximum you allowed. Raise the maximums or requote.",
    "MinimumAmountInsufficient(uint128,uint128)":
        "Removing liquidity returned fewer tokens than the minimum you asked for. Lower the minimums or requote.",
    "UnsupportedAction(uint256)": "The v4 router was given an action it does not implement.",
    "InputLengthMismatch()": "The actions and params arrays have different lengths.",
    "NotPoolManager()": "Only the PoolManager may call this function.",
    "ContractLocked()": "The contract is already executing a call; re-entering it is not allowed.",
    # Permit2
    "AllowanceExpired(uint256)":
        "The Permit2 allowance for this spender expired at `deadline`. Sign a new permit or approve again.",
    "InsufficientAllowance(uint256)":
        "The Permit2 allowance left (`amount`) is below what this transfer needs. Sign a permit for a larger amount.",
    "InvalidNonce()":
        "The signed message's nonce was already used or is not the one expected. Read the current "
        "nonce and sign again.",
    "SignatureExpired(uint256)":
        "The permit signature's deadline has passed. Sign a new permit with a later deadline.",
    "InvalidSignature()": "The signature does not recover to the expected signer. Check the signed data and signer.",
    "InvalidSigner()": "The signature recovers to an address other than the expected signer (for a "
                       "permit, the token owner). Check who signed and what was signed.",
    "InvalidSignatureLength()": "The signature has the wrong length (an ECDSA signature is 65 bytes, or 64 compact).",
    "InvalidContractSignature()":
        "The owner is a contract and its ERC-1271 isValidSignature rejected the signature.",
    "ExcessiveInvalidation()": "A nonce invalidation may advance by at most 65535 at once.",
    "InvalidAmount(uint256)": "The amount is not allowed here; for a Permit2 transfer it exceeds the amount signed.",
    # ERC-4337 EntryPoint
    "SenderAddressResult(address)":
        "Not a failure: getSenderAddress always reverts with the address the account would be deployed at.",
    "SignatureValidationFailed(address)":
        "The aggregator rejected the aggregated signature of its user operations.",
    "PostOpReverted(bytes)": "The paymaster's postOp reverted; the bytes are its revert.",
    "ValidationResult((uint256,uint256,bool,uint48,uint48,bytes),(uint256,uint256),(uint256,uint256),(uint256,uint256))":
        "Not a failure: simulateValidation reports its result by reverting with it.",
    "ExecutionResult(uint256,uint256,uint48,uint48,bool,bytes)":
        "Not a failure: simulateHandleOp reports its result by reverting with it.",
    "DelegateAndRevert(bool,bytes)": "Not a failure: delegateAndRevert always reverts with the call's result.",
    # Safe modules
    "UnsupportedEntryPoint()": "The Safe 4337 module was called by an EntryPoint other than the one it trusts.",
    "UnsupportedExecutionFunction(bytes4)":
        "The user operation's calldata calls a function the Safe 4337 module does not execute.",
    "ExecutionFailed()": "The Safe module could not execute the transaction: the inner call reverted.",
    "InvalidEntryPoint()": "The caller is not the EntryPoint this contract trusts.",
    "InvalidClientData()": "The passkey signature's WebAuthn client data is malformed.",
    "InvalidAuthenticatorData()": "The passkey signature's WebAuthn authenticator data is malformed.",
    "NotDelegateCalled()": "This contract must be reached through delegatecall (from a Safe), not called directly.",
    # lending and vaults met often
    "HealthFactorLowerThanLiquidationThreshold()":
        "After this action the position's health factor would be below 1. Repay debt, add collateral "
        "or withdraw/borrow less.",
    "CollateralCannotCoverNewBorrow()":
        "The collateral is not enough for this borrow at its loan-to-value. Borrow less or add collateral.",
    "HealthFactorNotBelowThreshold()":
        "The position is healthy (health factor at or above 1), so it cannot be liquidated.",
    "SupplyCapExceeded()": "Supplying this amount would exceed the asset's supply cap in this market. Supply less.",
    "BorrowCapExceeded()": "Borrowing this amount would exceed the reserve's borrow cap. Borrow less.",
    "ReserveFrozen()": "The reserve is frozen: no new supply or borrow until governance unfreezes it.",
    "ReservePaused()": "The reserve is paused: every action on it is blocked for now.",
    "NotEnoughAvailableUserBalance()": "The user holds less of the asset than the amount asked for.",
    "SiloedBorrowingViolation()":
        "A siloed asset can only be borrowed alone; repay the other borrows or borrow a different asset.",
    "AssetNotBorrowableInIsolation()":
        "The account is in isolation mode and this asset may not be borrowed there.",
    "NotCollateralized()":
        "The account's collateral does not cover its borrow after this action. Add collateral or borrow less.",
    "BorrowTooSmall()": "The borrow is below the market's minimum borrow size.",
    "InsufficientReserves()": "The market's reserves are too low for this action.",
    "NotLiquidatable()": "The account is not under water, so it cannot be absorbed or liquidated.",
    "TooMuchSlippage()": "The trade would give less than the minimum asked for. Requote or relax the minimum.",
    "SwapLimit(uint256,uint256)":
        "The swap went past its limit (amount, limit): less out than the minimum or more in than the maximum. Requote.",
    "SwapDeadline()": "The swap was mined after its deadline. Submit again with a later deadline.",
    "AmountOutBelowMin(address,uint256,uint256)":
        "Less of the token came out than the minimum you set (token, amountOut, minAmountOut). Requote.",
    "AmountInAboveMax(address,uint256,uint256)":
        "More of the token was needed than the maximum you set (token, amountIn, maxAmountIn). Requote.",
    "BptAmountOutBelowMin(uint256,uint256)":
        "Adding liquidity minted fewer pool tokens than your minimum. Requote or lower the minimum.",
    "BptAmountInAboveMax(uint256,uint256)":
        "Removing liquidity needed more pool tokens than your maximum. Requote or raise the maximum.",
    "BalanceNotSettled()":
        "The Balancer vault was left with an unsettled balance at the end of the unlock. Settle every token "
        "owed or taken.",
    "PoolPaused(address)": "The pool is paused.",
    "VaultPaused()": "The Balancer vault is paused.",
    "AllCapsReached()": "Every market in the vault's supply queue is at its cap: the deposit has nowhere to go.",
    "NotEnoughLiquidity()": "There is not enough liquidity available to withdraw or move this amount.",
    "TimelockNotElapsed()": "The pending change's timelock has not elapsed yet. Accept it later.",
}

# ---------------------------------------------------------------------------------------
# Reason strings with a fixed text

_UNI3 = "Uniswap v3"
UNISWAP_V3: dict[str, str] = {
    "LOK": "The pool is locked: either a re-entrant call, or the pool has not been initialized yet "
           "(initialize it with a starting price first).",
    "AI": "The pool is already initialized; its starting price cannot be set again.",
    "TLU": "tickLower must be below tickUpper.",
    "TLM": "tickLower is below the minimum tick.",
    "TUM": "tickUpper is above the maximum tick.",
    "M0": "Mint callback did not pay the required token0. Check the callback's transfer and allowance.",
    "M1": "Mint callback did not pay the required token1. Check the callback's transfer and allowance.",
    "AS": "The swap amount is zero.",
    "SPL": "The price limit is on the wrong side of the current price, or outside the valid range, "
           "for this swap direction. Check sqrtPriceLimitX96 and zeroForOne.",
    "IIA": "The swap callback paid less input than the pool required. Check the callback's payment.",
    "L": "The pool has no in-range liquidity for a flash loan.",
    "F0": "The flash loan's token0 plus fee was not repaid.",
    "F1": "The flash loan's token1 plus fee was not repaid.",
    "LS": "Removing more liquidity than the position or tick holds (liquidity would go below zero).",
    "LA": "Adding this liquidity overflows the 128-bit liquidity counter.",
    "LO": "Adding this liquidity exceeds the most a single tick may hold.",
    "NP": "The position holds no liquidity, so a zero-liquidity update is not allowed.",
    "T": "The tick is outside the range ticks may take.",
    "R": "The square-root price is outside the range prices may take.",
    "OLD": "The requested observation is older than the oldest one the pool keeps. Ask for a "
           "shorter window or grow the pool's observation cardinality.",
    "I": "The pool's price oracle has not been initialized.",
    "TF": "A token transfer failed (the token reverted or returned false). Check the balance and the token.",
    "STF": "safeTransferFrom failed: the token could not be pulled from the payer. Check the "
           "payer's balance and its approval of the router or position manager.",
    "ST": "safeTransfer failed: the token could not be sent. Check the sender's balance and the token.",
    "SA": "safeApprove failed: the token rejected the approval.",
    "STE": "Sending ETH failed: the recipient rejected it or the balance is too low.",
    "Too little received": "The swap output is below your minimum. The price moved: requote or "
                           "raise the slippage tolerance.",
    "Too much requested": "The swap needed more input than your maximum. The price moved: requote "
                          "or raise the slippage tolerance.",
    "Transaction too old": "The transaction was mined after its deadline. Submit it again with a later deadline.",
    "Price slippage check": "The liquidity change gave less than amount0Min or amount1Min. Requote or widen the minimums.",
    "Not approved": "The caller is neither the owner of this position NFT nor approved for it.",
    "Invalid token ID": "No position exists with this token ID (it was never minted, or it was burned).",
    "Not cleared": "The position still holds liquidity or uncollected tokens; remove and collect them before burning.",
    "Insufficient token": "The router holds less of the token than the minimum asked for in sweepToken.",
    "Insufficient WETH9": "The router holds less WETH than the minimum asked for in unwrapWETH9.",
    "Not WETH9": "Only WETH may send ETH to this contract.",
    "Permit expired": "The permit's deadline has passed. Sign a new one.",
    "Invalid signature": "The permit signature does not recover to a valid signer.",
    "Unauthorized": "The permit signer is neither the owner of the position nor approved for it.",
    "ERC721Permit: approval to current owner": "A permit cannot approve the position's own owner.",
    "slice_outOfBounds": "The encoded swap path is shorter than expected. Check the path encoding.",
    "slice_overflow": "The encoded swap path is malformed (length overflow).",
    "toAddress_outOfBounds": "The encoded swap path ends in the middle of a token address. Check the path encoding.",
    "toAddress_overflow": "The encoded swap path is malformed (offset overflow).",
    "toUint24_outOfBounds": "The encoded swap path ends in the middle of a fee. Check the path encoding.",
    "toUint24_overflow": "The encoded swap path is malformed (offset overflow).",
    "Percentage too small": "The migration percentage must be above zero.",
    "Percentage too large": "The migration percentage must be at most 100.",
    "ERC721: approved query for nonexistent token": "No position exists with this token ID.",
    "Strings: hex length insufficient": "The number does not fit in the requested number of hex digits.",
    "Unexpected error": "The quoter could not read a price from the pool's revert. The pool or path may be invalid.",
}

_UNI2 = "Uniswap v2"
UNISWAP_V2: dict[str, str] = {
    "UniswapV2: LOCKED": "Re-entrant call into a v2 pair.",
    "UniswapV2: FORBIDDEN": "Only the factory's fee setter (or the factory) may call this.",
    "UniswapV2: IDENTICAL_ADDRESSES": "A pair needs two different tokens.",
    "UniswapV2: ZERO_ADDRESS": "A token address is zero.",
    "UniswapV2: PAIR_EXISTS": "The pair for these tokens already exists.",
    "UniswapV2: INSUFFICIENT_LIQUIDITY_MINTED": "The deposit is too small to mint any LP tokens. Add more of both tokens.",
    "UniswapV2: INSUFFICIENT_LIQUIDITY_BURNED": "Too few LP tokens were sent to the pair to withdraw anything.",
    "UniswapV2: INSUFFICIENT_OUTPUT_AMOUNT": "A swap asked for zero output.",
    "UniswapV2: INSUFFICIENT_INPUT_AMOUNT": "No input tokens reached the pair before the swap. Check the transfer to the pair.",
    "UniswapV2: INSUFFICIENT_LIQUIDITY": "The swap asks for more than the pair's reserves hold.",
    "UniswapV2: INVALID_TO": "A swap may not send output to one of the pair's own tokens.",
    "UniswapV2: K": "The swap would lower the pair's constant product: too little input arrived "
                    "for the output taken (often a fee-on-transfer token or a wrong amount).",
    "UniswapV2: OVERFLOW": "A reserve balance no longer fits in 112 bits.",
    "UniswapV2: TRANSFER_FAILED": "The pair could not send a token: the token reverted or returned false.",
    "UniswapV2: EXPIRED": "The permit's deadline has passed.",
    "UniswapV2: INVALID_SIGNATURE": "The LP-token permit signature does not match the owner.",
    "UniswapV2Router: EXPIRED": "The transaction was mined after its deadline. Submit it again with a later deadline.",
    "UniswapV2Router: INSUFFICIENT_OUTPUT_AMOUNT": "The swap output is below amountOutMin. The price moved: "
                                                   "requote or raise the slippage tolerance.",
    "UniswapV2Router: EXCESSIVE_INPUT_AMOUNT": "The swap needs more input than amountInMax. The price moved: "
                                              "requote or raise the slippage tolerance.",
    "UniswapV2Router: INVALID_PATH": "The path is invalid for this function (e.g. it must start or end with WETH).",
    "UniswapV2Router: INSUFFICIENT_A_AMOUNT": "Adding or removing liquidity gave less token A than amountAMin.",
    "UniswapV2Router: INSUFFICIENT_B_AMOUNT": "Adding or removing liquidity gave less token B than amountBMin.",
    "UniswapV2Library: IDENTICAL_ADDRESSES": "The path has the same token twice in a row.",
    "UniswapV2Library: ZERO_ADDRESS": "A token in the path is the zero address.",
    "UniswapV2Library: INSUFFICIENT_AMOUNT": "The amount to quote is zero.",
    "UniswapV2Library: INSUFFICIENT_LIQUIDITY": "A pair in the path has empty reserves (it may not exist).",
    "UniswapV2Library: INSUFFICIENT_INPUT_AMOUNT": "The input amount is zero.",
    "UniswapV2Library: INSUFFICIENT_OUTPUT_AMOUNT": "The requested output amount is zero.",
    "UniswapV2Library: INVALID_PATH": "The path needs at least two tokens.",
    "TransferHelper: TRANSFER_FROM_FAILED": "Pulling the token from the payer failed. Check its balance and its approval of the router.",
    "TransferHelper: TRANSFER_FAILED": "Sending the token failed. Check the balance and the token.",
    "TransferHelper: APPROVE_FAILED": "The token rejected the approval.",
    "TransferHelper: ETH_TRANSFER_FAILED": "Sending ETH failed: the recipient rejected it.",
    "TransferHelper::transferFrom: transferFrom failed": "Pulling the token from the payer failed. Check its balance and its approval of the router.",
    "TransferHelper::safeTransfer: transfer failed": "Sending the token failed. Check the balance and the token.",
    "TransferHelper::safeApprove: approve failed": "The token rejected the approval.",
    "TransferHelper::safeTransferETH: ETH transfer failed": "Sending ETH failed: the recipient rejected it.",
    "TRANSFER_FROM_FAILED": "Pulling the LP tokens from the owner failed. Check the balance and the approval.",
    "ds-math-add-overflow": "An addition overflowed in the v2 arithmetic library.",
    "ds-math-sub-underflow": "A subtraction went below zero in the v2 arithmetic library: usually an amount larger than a balance or allowance.",
    "ds-math-mul-overflow": "A multiplication overflowed in the v2 arithmetic library.",
}

_SAFE = "Safe"
SAFE: dict[str, str] = {
    "GS000": "The Safe's setup could not be finished (the setup call failed).",
    "GS001": "The threshold must be set before the Safe can be used.",
    "GS002": "The setup's module call targets an address without code.",
    "GS010": "Not enough gas is left to run the Safe transaction with the safeTxGas it asks for. Raise the gas limit.",
    "GS011": "The Safe could not refund the gas in ETH. Check its ETH balance.",
    "GS012": "The Safe could not refund the gas in the chosen token. Check its token balance.",
    "GS013": "The Safe transaction's inner call failed, and with safeTxGas and gasPrice both 0 the "
             "Safe reverts too. Simulate the inner call to find its own revert.",
    "GS020": "The signatures are shorter than the threshold requires.",
    "GS021": "A contract signature points inside the fixed-size signature part.",
    "GS022": "A contract signature's data offset points past the end of the signatures.",
    "GS023": "A contract signature's data is cut short.",
    "GS024": "A contract owner's ERC-1271 check rejected its signature.",
    "GS025": "An approved-hash signature uses a hash the owner has not approved.",
    "GS026": "A signature does not come from an owner, or the signers are not in ascending "
             "address order. Check the signers and sort the signatures.",
    "GS027": "A signature could not be checked against the data hash it was meant for.",
    "GS030": "Only an owner may approve a hash.",
    "GS031": "This method may only be called by the Safe itself (through a Safe transaction).",
    "GS100": "The Safe's modules have already been set up.",
    "GS101": "The module address is invalid (zero or the sentinel).",
    "GS102": "This module is already enabled.",
    "GS103": "The module is not the one after prevModule in the list. Check the prevModule argument.",
    "GS104": "Only an enabled module may call this. Enable the module on the Safe first.",
    "GS105": "The start of the module page is not an enabled module.",
    "GS106": "The module page size must be greater than zero.",
    "GS200": "The Safe's owners have already been set up.",
    "GS201": "The threshold is higher than the number of owners.",
    "GS202": "The threshold must be at least 1.",
    "GS203": "The owner address is invalid (zero, the sentinel, or the Safe itself).",
    "GS204": "This address is already an owner.",
    "GS205": "The owner is not the one after prevOwner in the list. Check the prevOwner argument.",
    "GS300": "The guard does not support the guard interface (ERC-165).",
    "GS301": "The module guard does not support the module guard interface (ERC-165).",
    "GS400": "The Safe cannot be its own fallback handler.",
    "Hash not approved": "No owner signature or approval is recorded for this message hash.",
    "MultiSend should only be called via delegatecall": "MultiSend must be reached through a Safe transaction with operation DELEGATECALL (1).",
    "Migration should only be called via delegatecall": "The migration contract must be reached through a Safe transaction with operation DELEGATECALL (1).",
    "SafeToL2Setup should only be called via delegatecall": "This setup contract must be reached through delegatecall during the Safe's setup.",
    "Singleton contract not deployed": "The Safe singleton (master copy) address has no code on this chain.",
    "Create2 call failed": "Deploying the Safe proxy failed: a proxy with this salt may already exist.",
    "Invalid singleton address provided": "The proxy's singleton address is zero.",
    "Could not deploy contract": "The contract creation failed: the constructor reverted or the address is taken.",
    "only safe can call this method": "Only the Safe itself may call this handler method.",
    "method handler not set": "No handler is registered on the Safe for this method selector.",
}

_AA = "ERC-4337"
AA_CODES: dict[str, str] = {
    "AA10": "The account already exists, but the user operation still carries initCode. Remove the initCode.",
    "AA13": "Deploying the account with initCode failed or ran out of gas. Check the factory call and "
            "raise verificationGasLimit.",
    "AA14": "The factory returned an address other than the operation's sender. Check the factory arguments and salt.",
    "AA15": "The factory call succeeded but created no code at the sender address.",
    "AA20": "The sender has no code and no initCode was given to deploy it.",
    "AA21": "The account did not pay the EntryPoint the prefund it owes. Fund the account (or its "
            "EntryPoint deposit), or use a paymaster.",
    "AA22": "The account's signature is outside its validity window (validAfter/validUntil).",
    "AA23": "The account's validateUserOp reverted; the inner revert tells why.",
    "AA24": "The account reports an invalid signature. Check the signer and what was signed "
            "(the userOpHash includes the EntryPoint and chain id).",
    "AA25": "The nonce is wrong for this account and key. Read getNonce from the EntryPoint.",
    "AA26": "Validation used more gas than verificationGasLimit. Raise it.",
    "AA30": "The paymaster address has no code.",
    "AA31": "The paymaster's EntryPoint deposit is too low to pay for this operation.",
    "AA32": "The paymaster's approval is outside its validity window.",
    "AA33": "The paymaster's validatePaymasterUserOp reverted; the inner revert tells why.",
    "AA34": "The paymaster reports an invalid signature.",
    "AA36": "The paymaster's validation used more gas than paymasterVerificationGasLimit. Raise it.",
    "AA40": "Validation used more gas than verificationGasLimit. Raise it.",
    "AA41": "verificationGasLimit is too low for the validation to finish.",
    "AA50": "The paymaster's postOp reverted.",
    "AA51": "The prefund did not cover the actual gas cost.",
    "AA90": "The beneficiary address is zero.",
    "AA91": "The EntryPoint could not send the collected fees to the beneficiary.",
    "AA92": "This EntryPoint function may only be called by the EntryPoint itself.",
    "AA93": "paymasterAndData is too short to hold a paymaster address (and its gas limits).",
    "AA94": "A gas value in the user operation is too large.",
    "AA95": "The bundle ran out of gas. The bundler must give handleOps more gas.",
    "AA96": "The aggregator address is invalid (zero or the signature-failure marker).",
}

_OZ4 = "OpenZeppelin Contracts v4"
OZ4: dict[str, str] = {
    "Ownable: caller is not the owner": "Only the owner may call this. Check which account sends the transaction and read owner().",
    "Ownable: new owner is the zero address": "Ownership cannot be transferred to the zero address.",
    "Ownable2Step: caller is not the new owner": "Only the pending owner may accept ownership.",
    "Pausable: paused": "The contract is paused, so this action is blocked until it is unpaused.",
    "Pausable: not paused": "This action needs the contract to be paused, and it is not.",
    "ReentrancyGuard: reentrant call": "The function was entered again before its first call ended. "
                                       "Look for a callback (token hook, external call) calling back in.",
    "Initializable: contract is already initialized": "initialize() has already run on this contract or proxy.",
    "Initializable: contract is not initializing": "An initializer-only function was called outside initialization.",
    "Initializable: contract is initializing": "This cannot run while the contract is being initialized.",
    "ERC20: transfer amount exceeds balance": "The sender holds fewer tokens than the transfer amount. Check the balance.",
    "ERC20: insufficient allowance": "The spender's allowance is below the amount. Approve a larger amount first.",
    "ERC20: transfer from the zero address": "The sender is the zero address.",
    "ERC20: transfer to the zero address": "The recipient is the zero address.",
    "ERC20: approve from the zero address": "The approving owner is the zero address.",
    "ERC20: approve to the zero address": "The spender is the zero address.",
    "ERC20: mint to the zero address": "Tokens cannot be minted to the zero address.",
    "ERC20: burn from the zero address": "Tokens cannot be burned from the zero address.",
    "ERC20: burn amount exceeds balance": "The holder has fewer tokens than the amount to burn.",
    "ERC20: decreased allowance below zero": "The allowance is smaller than the decrease asked for.",
    "ERC20Permit: expired deadline": "The permit's deadline has passed. Sign a new one.",
    "ERC20Permit: invalid signature": "The permit signature does not match the owner. Check the domain, nonce and signer.",
    "ERC20Capped: cap exceeded": "Minting would push the supply over its cap.",
    "ERC20Pausable: token transfer while paused": "Token transfers are paused.",
    "ERC721: invalid token ID": "No token with this ID exists (never minted, or burned).",
    "ERC721: caller is not token owner or approved": "The caller neither owns the token nor is approved for it.",
    "ERC721: transfer from incorrect owner": "The `from` address does not own this token.",
    "ERC721: transfer to the zero address": "The recipient is the zero address.",
    "ERC721: transfer to non ERC721Receiver implementer": "The recipient is a contract that does not accept ERC-721 tokens.",
    "ERC721: mint to the zero address": "A token cannot be minted to the zero address.",
    "ERC721: token already minted": "A token with this ID already exists.",
    "ERC721: approve to caller": "An owner cannot set an operator approval for itself.",
    "ERC721: approval to current owner": "The token's owner cannot be its approved address.",
    "ERC721: approve caller is not token owner or approved for all": "Only the owner or an operator may approve this token.",
    "ERC721: address zero is not a valid owner": "Balance asked for the zero address.",
    "ERC1155: insufficient balance for transfer": "The sender holds fewer of this token ID than the amount.",
    "ERC1155: caller is not token owner or approved": "The caller neither owns the tokens nor is an approved operator.",
    "ERC1155: transfer to non-ERC1155Receiver implementer": "The recipient is a contract that does not accept ERC-1155 tokens.",
    "ERC1155: ERC1155Receiver rejected tokens": "The recipient contract rejected the tokens.",
    "ERC1155: transfer to the zero address": "The recipient is the zero address.",
    "ERC1155: ids and amounts length mismatch": "The ids and amounts arrays have different lengths.",
    "ERC1155: accounts and ids length mismatch": "The accounts and ids arrays have different lengths.",
    "ERC1155: burn amount exceeds balance": "The holder has fewer of this token ID than the amount to burn.",
    "ERC1155: mint to the zero address": "Tokens cannot be minted to the zero address.",
    "ERC1155: setting approval status for self": "An owner cannot set an operator approval for itself.",
    "ERC4626: deposit more than max": "The deposit is above the vault's maxDeposit for this receiver.",
    "ERC4626: mint more than max": "The mint is above the vault's maxMint for this receiver.",
    "ERC4626: withdraw more than max": "The withdrawal is above maxWithdraw for this owner (balance or vault limits).",
    "ERC4626: redeem more than max": "The redemption is above maxRedeem for this owner (share balance or vault limits).",
    "Address: insufficient balance": "The contract holds less ETH than it tries to send.",
    "Address: unable to send value, recipient may have reverted": "Sending ETH failed: the recipient rejected it.",
    "Address: call to non-contract": "The call's target has no code. Check the address and the chain.",
    "Address: insufficient balance for call": "The contract holds less ETH than the call's value.",
    "SafeERC20: ERC20 operation did not succeed": "The token call returned false. Check the balance, allowance and token rules.",
    "SafeERC20: approve from non-zero to non-zero allowance": "The allowance must be set to zero before it can be changed to another non-zero value.",
    "SafeERC20: decreased allowance below zero": "The allowance is smaller than the decrease asked for.",
    "SafeERC20: permit did not succeed": "The token's permit call did not change the allowance.",
    "ECDSA: invalid signature": "The signature does not recover to any address.",
    "ECDSA: invalid signature length": "The signature must be 65 bytes (or 64 in the compact form).",
    "ECDSA: invalid signature 's' value": "The signature's s value is in the upper half of the curve order (malleable); sign again.",
    "Math: mulDiv overflow": "A multiply-then-divide result does not fit in 256 bits.",
    "SafeCast: value must be positive": "A negative number was converted to an unsigned type.",
    "SafeCast: value doesn't fit in an int256": "A number above the int256 maximum was converted to int256.",
    "Strings: hex length insufficient": "The number does not fit in the requested number of hex digits.",
    "AccessControl: can only renounce roles for self": "An account may only renounce its own roles.",
    "TimelockController: operation is not ready": "The operation's delay has not passed yet, or it was never scheduled.",
    "TimelockController: insufficient delay": "The delay is shorter than the timelock's minimum.",
    "TimelockController: operation already scheduled": "An identical operation is already scheduled (change the salt).",
    "TimelockController: missing dependency": "The operation's predecessor has not been executed yet.",
    "TimelockController: underlying transaction reverted": "A call inside the timelock operation reverted.",
    "TimelockController: caller must be timelock": "Only the timelock itself may call this, through a scheduled operation.",
    "Governor: vote not currently active": "The proposal is not in its voting period.",
    "Governor: proposal not successful": "The proposal did not pass, so it cannot be queued or executed.",
    "Governor: unknown proposal id": "No proposal with this id exists.",
    "Governor: proposer votes below proposal threshold": "The proposer holds fewer votes than the proposal threshold.",
    "Governor: onlyGovernance": "Only the governance process itself may call this.",
    "ERC1967: new implementation is not a contract": "The new implementation address has no code.",
    "ERC1967Upgrade: new implementation is not UUPS": "The new implementation does not support UUPS upgrades.",
    "UUPSUpgradeable: must not be called through delegatecall": "Call this on the implementation directly, not through the proxy.",
    "Function must be called through delegatecall": "Call this through the proxy, not on the implementation.",
    "Function must be called through active proxy": "Call this through the proxy that uses this implementation.",
    "TransparentUpgradeableProxy: admin cannot fallback to proxy target": "The proxy admin cannot call the implementation's functions; use another account.",
    "Counter: decrement overflow": "A counter at zero was decremented.",
    "MerkleProof: invalid multiproof": "The multiproof's flags and proofs do not fit together.",
    "EnumerableMap: nonexistent key": "The key is not in the map.",
    "Create2: insufficient balance": "The factory holds less ETH than the deployment's value.",
    "Create2: bytecode length is zero": "The bytecode to deploy is empty.",
    "Create2: Failed on deploy": "The deployment failed: the address is taken or the constructor reverted.",
}
_SAFECAST_BITS = re.compile(r"SafeCast: value doesn't fit in (\d+) bits")

_MORPHO = "Morpho Blue"
MORPHO: dict[str, str] = {
    "max LLTV exceeded": "The liquidation LTV is 100% or more.",
    "IRM not enabled": "This interest rate model is not enabled for market creation.",
    "LLTV not enabled": "This liquidation LTV is not enabled for market creation.",
    "market already created": "A market with these parameters already exists.",
    "market not created": "No market exists with these parameters. Check the market id or params.",
    "inconsistent input": "Give exactly one of assets and shares; the other must be zero.",
    "insufficient collateral": "The position would be unhealthy: too little collateral for the debt. "
                               "Add collateral or borrow less.",
    "insufficient liquidity": "The market does not have enough supplied assets left to borrow or withdraw.",
    "position is healthy": "The borrower's position is healthy, so it cannot be liquidated.",
    "transferFrom reverted": "Pulling the token failed. Check the balance and the approval of Morpho.",
    "transferFrom returned false": "The token refused to move tokens from the payer. Check the balance and the approval of Morpho.",
    "transfer returned false": "The token refused to send the tokens.",
    "max uint128 exceeded": "An amount does not fit in 128 bits.",
}

# ---------------------------------------------------------------------------------------
# Numbered codes: meanings derived from the constant names


_WORDS = {
    "LTV": "loan-to-value", "HF": "health factor", "ATOKEN": "aToken", "EMODE": "eMode",
    "ACL": "ACL", "BPT": "pool token (BPT)", "AMP": "amplification", "ID": "id", "IRM": "interest rate model",
    "UNDERLYING": "underlying asset", "STABLE": "stable", "VTOKEN": "variable debt token",
    "FLASHLOAN": "flash loan", "LIQ": "liquidation", "NOT": "not", "MAX": "maximum", "MIN": "minimum",
    "INVALID": "invalid", "ERC20": "ERC-20", "ETH": "ETH", "WETH": "WETH", "BAL": "BAL",
}

_CHECKS = [
    (("CALLER", "ADMIN", "SENDER", "OWNER", "ONLY", "UNAUTHORIZED", "PERMISSION", "AUTH"),
     "Check which account sends the transaction and the roles it holds."),
    (("HEALTH", "HF", "COLLATERAL", "LTV", "LIQUIDATION", "BORROW", "DEBT"),
     "Check the position's collateral, debt and health factor for this action."),
    (("PAUSED", "FROZEN", "ACTIVE", "DISABLED", "ENABLED"),
     "Check whether the reserve or pool is paused, frozen, disabled or inactive."),
    (("CAP", "LIMIT", "EXCEEDED", "MAX", "MIN", "RATIO", "BOUNDS", "TOO"),
     "Check the amounts against the configured limits."),
    (("SIGNATURE", "PERMIT", "EXPIRED", "DEADLINE", "NONCE"),
     "Check the signature, its signer, nonce and deadline."),
    (("AMOUNT", "BALANCE", "INSUFFICIENT", "ZERO", "LIQUIDITY", "SUPPLY"),
     "Check the amounts given and the balances and liquidity available."),
    (("ADDRESS", "CONTRACT", "TOKEN", "ASSET", "RESERVE", "POOL"),
     "Check the addresses and assets given in the call."),
    (("OVERFLOW", "UNDERFLOW", "DIVISION", "BOUNDS"),
     "An arithmetic bound was hit; check the sizes of the amounts given."),
]


def from_constant_name(name: str) -> str:
    words = [_WORDS.get(w, w.lower()) for w in name.split("_") if w]
    text = " ".join(words)
    text = text[:1].upper() + text[1:]
    parts = set(name.split("_"))
    check = next((c for keys, c in _CHECKS if parts & set(keys)),
                 "Check the call's arguments and the protocol state it depends on.")
    return f"{text}. {check}"


# ---------------------------------------------------------------------------------------


def _entry(match: str, text: str, meaning: str, protocol: str, source: str,
           applies_to: str = "revert_string") -> dict[str, Any]:
    return {"match": match, "text": text, "meaning": meaning, "protocol": protocol,
            "source": source, "applies_to": applies_to}


def reason_entries(strings: dict[str, list[tuple[str, str, str]]],
                   constants: dict[str, list[tuple[str, str, str, str]]],
                   source_ids: set[str]) -> tuple[list[dict[str, Any]], list[str]]:
    """Table entries for the revert strings and numbered constants found in the sources."""
    out: dict[tuple[str, str, str], dict[str, Any]] = {}
    problems: list[str] = []

    def add(e: dict[str, Any]) -> None:
        key = (e["applies_to"], e["match"], e["text"])
        out.setdefault(key, e)

    tables = {"uniswap-v3": (UNISWAP_V3, _UNI3), "uniswap-v2": (UNISWAP_V2, _UNI2),
              "safe": (SAFE, _SAFE), "oz4": (OZ4, _OZ4)}
    for table, found in sorted(strings.items()):
        for text, source, path in found:
            if table == "erc4337":
                m = re.match(r"(AA\d\d) ", text)
                if not m:
                    continue
                meaning = AA_CODES.get(m.group(1))
                if meaning is None:
                    problems.append(f"{source}: {path}: no meaning for {text!r}")
                    continue
                add(_entry("prefix", m.group(1) + " ", meaning, _AA, source, "FailedOp"))
                continue
            if table not in tables:
                continue
            meanings, protocol = tables[table]
            meaning = meanings.get(text)
            if meaning is None and table == "oz4":
                bits = _SAFECAST_BITS.fullmatch(text)
                if bits:
                    meaning = f"A number larger than a uint{bits.group(1)} can hold was narrowed to that type."
            if meaning is None:
                if table in ("uniswap-v3", "uniswap-v2", "safe") or text.startswith(("ERC20", "Ownable", "Pausable")):
                    problems.append(f"{source}: {path}: no meaning for {text!r}")
                continue
            add(_entry("exact", text, meaning, protocol, source))
    if "oz-4.9.6" in source_ids:
        add(_entry("prefix", "AccessControl: account ",
                   "The account lacks the role this function needs (the text names the account "
                   "and the role id). Grant the role, or send from an account that has it.",
                   _OZ4, "oz-4.9.6"))
    for source, consts in sorted(constants.items()):
        if source.startswith("aave-"):
            for lib, name, value, _path in consts:
                code = value.strip("'\"")
                if lib == "Errors" and code.isdigit():
                    add(_entry("exact", code, f"Aave v3 error {code} ({name}): " + from_constant_name(name),
                               "Aave v3", source))
        elif source == "balancer-v2":
            prefixes = {"Errors": "BAL"}
            for lib, name, value, _path in consts:
                if lib in prefixes and value.isdigit():
                    code = f"{prefixes[lib]}#{int(value):03d}"
                    add(_entry("exact", code, f"Balancer v2 error {code} ({name}): " + from_constant_name(name),
                               "Balancer v2", source))
        elif source.startswith("morpho-blue"):
            for lib, name, value, path in consts:
                text = value.strip("'\"")
                if lib == "ErrorsLib" and text in MORPHO:
                    add(_entry("exact", text, MORPHO[text], _MORPHO, source))
    return list(out.values()), problems
