#include "run/fault_plan.h"

#include "run/script.h"

#include <vector>

namespace lumen {

namespace {

struct NamedOp {
    const char* name;
    FaultOp op;
};

// The names OP can take, in binding order: the called operations but FreeMem, and
// AllocMem/skip right after AllocMem.
std::vector<NamedOp> faultOps() {
    std::vector<NamedOp> ops;
#define LUMEN_FAULT_OP_(name, ...)                                              \
    if (FaultOp::name != FaultOp::FreeMem) ops.push_back({#name, FaultOp::name}); \
    if (FaultOp::name == FaultOp::AllocMem) ops.push_back({"AllocMem/skip", FaultOp::AllocMemSkip});
    LUMEN_CALLED_NAMES(LUMEN_FAULT_OP_)
#undef LUMEN_FAULT_OP_
    return ops;
}

std::optional<FaultOp> opNamed(std::string_view name) {
    for (const NamedOp& entry : faultOps()) {
        if (name == entry.name) return entry.op;
    }
    return std::nullopt;
}

}  // namespace

std::string FaultPlan::opList() {
    std::string list;
    for (const NamedOp& entry : faultOps()) list += (list.empty() ? "" : ", ") + std::string(entry.name);
    return list;
}

namespace {

// The next field up to ':' (removed from `rest` with its colon); nullopt when there is no colon.
std::optional<std::string_view> field(std::string_view& rest) {
    const std::size_t colon = rest.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const std::string_view f = rest.substr(0, colon);
    rest.remove_prefix(colon + 1);
    return f;
}

bool allDigits(std::string_view s) {
    if (s.empty()) return false;
    for (const char c : s) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

}  // namespace

std::optional<FaultPlan> FaultPlan::parse(std::string_view text) {
    std::string_view rest = text;
    const std::optional<std::string_view> opText = field(rest);
    const std::optional<std::string_view> whenText = opText ? field(rest) : std::nullopt;
    if (!whenText) return std::nullopt;
    std::string_view codeText = rest;
    std::optional<std::string_view> message;
    if (const std::size_t colon = rest.find(':'); colon != std::string_view::npos) {
        codeText = rest.substr(0, colon);
        message = rest.substr(colon + 1);
    }
    const std::optional<FaultOp> op = opNamed(*opText);
    if (!op || !allDigits(*whenText)) return std::nullopt;
    uint64_t when = 0;
    if (const std::optional<uint64_t> n = parseUnsigned(*whenText)) when = *n;
    uint64_t code = UINT64_MAX;
    Kind kind = Kind::Fault;
    if (codeText == "bad_alloc") {
        kind = Kind::BadAlloc;
        code = 0;
    } else if (codeText == "exception") {
        kind = Kind::Exception;
        code = 0;
    } else if (const std::optional<uint64_t> c = parseUnsigned(codeText)) {
        code = *c;
    }
    if (when == 0 || when > static_cast<uint64_t>(INT64_MAX) || code > UINT32_MAX ||
        (message && code >= 0x80000000u))
        return std::nullopt;
    FaultPlan plan;
    plan.op_ = *op;
    plan.when_ = when;
    plan.code_ = static_cast<uint32_t>(code);
    plan.kind_ = kind;
    plan.hasMessage_ = message.has_value();
    if (message) plan.message_.assign(*message);
    return plan;
}

}  // namespace lumen
