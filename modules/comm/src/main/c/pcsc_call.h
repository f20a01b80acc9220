// The one way the comm layer calls PC/SC: PCSC_CALL(operations, SCardX, arguments...) calls
// SCardX and, unless it succeeded, raises the system-call failure "error calling SCardX"
// against the operation context. The function is named once, by the call itself, so the name
// in the message cannot drift from the function that failed. PCSC_CALL_TOLERATING also lets
// the listed results through to the caller (for example SCARD_E_NO_READERS_AVAILABLE).
#pragma once

#include <winscard.h>

#include <algorithm>
#include <array>

#include "operation_context.h"

namespace SZidaZaru::detail {

template <typename... Results>
constexpr std::array<LONG, sizeof...(Results)> Tolerate(Results... results) {
    return {static_cast<LONG>(results)...};
}

template <size_t N>
LONG CheckPcsc(const OperationContext& operations, const char* function, LONG result,
               const std::array<LONG, N>& tolerated) {
    if (result != SCARD_S_SUCCESS && std::find(tolerated.begin(), tolerated.end(), result) == tolerated.end())
        operations.ThrowSystemCall(function, result);
    return result;
}

}  // namespace SZidaZaru::detail

#define PCSC_CALL(operations, function, ...) \
    ::SZidaZaru::detail::CheckPcsc((operations), #function, function(__VA_ARGS__), ::SZidaZaru::detail::Tolerate())
#define PCSC_CALL_TOLERATING(operations, tolerated, function, ...) \
    ::SZidaZaru::detail::CheckPcsc((operations), #function, function(__VA_ARGS__), tolerated)
