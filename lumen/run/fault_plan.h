// LUMEN_FAULT=OP:N:CODE[:MESSAGE]: the N-th call of operation OP raises fault CODE, with
// MESSAGE (the rest of the text, colons included) or a null message. CODE `bad_alloc` or
// `exception` throws that C++ exception inside Lumen instead (MESSAGE is the exception's text),
// which the entry point must turn into a fault. A test hook: it lets the program's fault
// handling be tried in every place it calls Lumen.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "lumen/lumen.h"

namespace lumen {

// The operations a fault can be planted in: each operation the program calls (LUMEN_OPERATIONS)
// but FreeMem, and AllocMemSkip, which counts only the AllocMem calls whose tag is "skip" (the
// program's error record).
enum class FaultOp : int {
#define LUMEN_FAULT_OP_(name, ...) name,
    LUMEN_CALLED_NAMES(LUMEN_FAULT_OP_)
#undef LUMEN_FAULT_OP_
    AllocMemSkip,
    None
};

class FaultPlan {
public:
    // Parses OP:N:CODE[:MESSAGE]. OP is the name of a FaultOp, AllocMemSkip written
    // AllocMem/skip; N in [1, 2^63); CODE decimal or 0x hex up to
    // 0xFFFFFFFF; a MESSAGE only with codes below 0x80000000. Nullopt when the text is bad.
    static std::optional<FaultPlan> parse(std::string_view text);
    // The names OP can take, in binding order: "Init, Free, ...".
    static std::string opList();

    FaultPlan() = default;  // plants nothing

    // Counts one call of `op`; true for the planted call only (once per run).
    bool due(FaultOp op) {
        if (op != op_ || fired_) return false;
        if (++calls_ < when_) return false;
        fired_ = true;
        return true;
    }
    // What the planted call throws: a fault, or a C++ exception of another kind.
    enum class Kind { Fault, BadAlloc, Exception };
    Kind kind() const { return kind_; }
    uint32_t code() const { return code_; }
    bool hasMessage() const { return hasMessage_; }
    const std::string& message() const { return message_; }

private:
    FaultOp op_ = FaultOp::None;
    uint64_t when_ = 0;    // the planted call, 1-based
    uint64_t calls_ = 0;   // calls of op_ counted so far
    bool fired_ = false;
    uint32_t code_ = 0;
    Kind kind_ = Kind::Fault;
    bool hasMessage_ = false;
    std::string message_;
};

}  // namespace lumen
