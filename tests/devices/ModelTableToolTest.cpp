#include "devices/SupportedModels.h"

#include <juce_core/juce_core.h>

#include <gtest/gtest.h>

#include <cstdio>

// The model-table program, run as the catalogue writers run it, against the table the installer uses.
TEST(ModelTableTool, PrintsEveryModelInTableOrder)
{
    juce::ChildProcess tool;
    ASSERT_TRUE(tool.start(juce::StringArray{MODEL_TABLE_EXE})) << MODEL_TABLE_EXE;
    // Standard error is read together with standard output: any stray line fails the comparison.
    const juce::String output = tool.readAllProcessOutput();
    ASSERT_TRUE(tool.waitForProcessToFinish(30000));
    EXPECT_EQ(tool.getExitCode(), 0u);

    juce::StringArray lines;
    lines.addTokens(output, "\n", "");
    ASSERT_EQ(lines.size(), 52) << output; // 51 lines and the empty text after the last line feed
    EXPECT_EQ(lines[51], "");

    const auto& table = supportedModels();
    for (int row = 0; row < 51; ++row)
    {
        juce::StringArray fields;
        fields.addTokens(lines[row], "\t", "");
        ASSERT_EQ(fields.size(), 5) << lines[row];
        const SupportedModel& model = table[static_cast<std::size_t>(row)];

        EXPECT_TRUE(fields[0].containsOnly("0123456789")) << lines[row];
        EXPECT_EQ(fields[0].getIntValue(), modelSlotForProductId(model.productId)) << lines[row];
        for (const int field : {1, 2})
        {
            EXPECT_EQ(fields[field].length(), 6) << lines[row];
            EXPECT_TRUE(fields[field].startsWith("0x")) << lines[row];
            EXPECT_TRUE(fields[field].substring(2).containsOnly("0123456789abcdef")) << lines[row];
        }
        EXPECT_EQ(fields[1].getHexValue32(), model.vendorId) << lines[row];
        EXPECT_EQ(fields[2].getHexValue32(), model.productId) << lines[row];
        EXPECT_EQ(fields[3], model.keyName);
        EXPECT_EQ(fields[4], model.displayName);
    }
}
