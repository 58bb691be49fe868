// The parser of LUMEN_FAULT and the counting of planted calls.
#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <utility>

#include "run/fault_plan.h"

namespace {

using lumen::FaultOp;
using lumen::FaultPlan;

// Texts that parse, with their code and message (none: no message).
TEST(FaultPlan, CodesAndMessages) {
    struct Case {
        const char* text;
        uint32_t code;
        std::optional<std::string> message;
        const char* why;
    };
    const Case cases[] = {
        {"Mouse:3:5000:a: b", 5000u, "a: b", "the message is the rest, colons and blanks kept"},
        {"AllocMem/skip:1:0xC0000005", 0xC0000005u, std::nullopt, "no message"},
        {"Free:1:0xFFFFFFFF", 0xFFFFFFFFu, std::nullopt, "the largest code"},
        {"Act:2:0:", 0u, "", "a trailing colon is an empty message"},
    };
    for (const Case& c : cases) {
        const std::optional<FaultPlan> plan = FaultPlan::parse(c.text);
        ASSERT_TRUE(plan) << c.text;
        EXPECT_EQ(plan->code(), c.code) << c.text;
        ASSERT_EQ(plan->hasMessage(), c.message.has_value()) << c.text << ": " << c.why;
        if (c.message) {
            EXPECT_EQ(plan->message(), *c.message) << c.text << ": " << c.why;
        }
    }
    for (const char* op : {"AllocMem", "Init", "Free", "Act", "Mouse", "MouseX", "MouseY", "Rnd", "RndF", "DrawRect"}) {
        EXPECT_TRUE(FaultPlan::parse(std::string(op) + ":1:1")) << op;
    }
}

// A plan is due on the n-th call of its operation only, once.
TEST(FaultPlan, FiresOnTheNthCallOfItsOperationOnly) {
    std::optional<FaultPlan> plan = FaultPlan::parse("Mouse:3:5000:a: b");
    ASSERT_TRUE(plan);
    const std::pair<FaultOp, bool> calls[] = {{FaultOp::MouseX, false}, {FaultOp::Mouse, false}, {FaultOp::Act, false},
                                              {FaultOp::Mouse, false},  {FaultOp::Mouse, true},  {FaultOp::Mouse, false}};
    for (std::size_t i = 0; i < std::size(calls); ++i) EXPECT_EQ(plan->due(calls[i].first), calls[i].second) << "call " << i;
    // The operation with the tag "skip" is one of its own.
    plan = FaultPlan::parse("AllocMem/skip:1:0xC0000005");
    ASSERT_TRUE(plan);
    EXPECT_FALSE(plan->due(FaultOp::AllocMem));
    EXPECT_TRUE(plan->due(FaultOp::AllocMemSkip));
}

TEST(FaultPlan, RejectsMalformedText) {
    for (const char* bad : {"", "Act", "Act:1", "Act:", "act:1:5", "FreeMem:1:5", "Act:0:5", "Act:-1:5",
                            "Act:0x2:5", "Act: 1:5", "Act:1:", "Act:1:zz", "Act:1:0x100000000",
                            "Act:1:4294967296", "Act:1:0x80000000:msg", "Act:9223372036854775808:1",
                            "Act:1:5 "}) {
        EXPECT_FALSE(FaultPlan::parse(bad)) << '"' << bad << '"';
    }
}

}  // namespace
