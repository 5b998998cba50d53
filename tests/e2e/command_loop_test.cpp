#include <gtest/gtest.h>

#include "fake_spamd.h"
#include "plugin_process.h"

TEST(CommandLoop, AnswersIntfAndQuits)
{
    PluginProcess plugin;
    plugin.Start({});
    plugin.Send("1 INTF 3");
    EXPECT_EQ(plugin.WaitForLineStartingWith("1 "), "1 INTF 3 PROD=CLAM");
    plugin.Send("2 QUIT");
    auto rest = plugin.ReadAllUntilExit();
    ASSERT_FALSE(rest.empty());
    EXPECT_EQ(plugin.WaitExit(), 0);
}
