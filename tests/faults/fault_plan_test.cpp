// The parser of LUMEN_FAULT and the counting of planted calls.
#include <gtest/gtest.h>

#include "run/fault_plan.h"

namespace {

using lumen::FaultOp;
using lumen::FaultPlan;

TEST(FaultPlan, FiresOnTheNthCallOfItsOperationOnly) {
    std::optional<FaultPlan> plan = FaultPlan::parse("Mouse:3:5000:a: b");
    ASSERT_TRUE(plan);
    EXPECT_EQ(plan->code(), 5000u);
    ASSERT_TRUE(plan->hasMessage());
    EXPECT_EQ(plan->message(), "a: b") << "the message is the rest, colons and blanks kept";
    EXPECT_FALSE(plan->due(FaultOp::MouseX));
    EXPECT_FALSE(plan->due(FaultOp::Mouse));
    EXPECT_FALSE(plan->due(FaultOp::Act));
    EXPECT_FALSE(plan->due(FaultOp::Mouse));
    EXPECT_TRUE(plan->due(FaultOp::Mouse));
    EXPECT_FALSE(plan->due(FaultOp::Mouse)) << "raised once";
}

TEST(FaultPlan, CodesMessagesAndOperations) {
    std::optional<FaultPlan> plan = FaultPlan::parse("AllocMem/skip:1:0xC0000005");
    ASSERT_TRUE(plan);
    EXPECT_EQ(plan->code(), 0xC0000005u);
    EXPECT_FALSE(plan->hasMessage());
    EXPECT_FALSE(plan->due(FaultOp::AllocMem));
    EXPECT_TRUE(plan->due(FaultOp::AllocMemSkip));

    plan = FaultPlan::parse("Free:1:0xFFFFFFFF");
    ASSERT_TRUE(plan);
    EXPECT_EQ(plan->code(), 0xFFFFFFFFu);
    plan = FaultPlan::parse("Act:2:0:");
    ASSERT_TRUE(plan);
    EXPECT_EQ(plan->code(), 0u);
    EXPECT_TRUE(plan->hasMessage()) << "a trailing colon is an empty message";
    EXPECT_EQ(plan->message(), "");
    for (const char* op : {"AllocMem", "Init", "Free", "Act", "Mouse", "MouseX", "MouseY", "Rnd", "RndF", "DrawRect"}) {
        EXPECT_TRUE(FaultPlan::parse(std::string(op) + ":1:1")) << op;
    }
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
