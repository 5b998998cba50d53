// plugin_test - the fixture of most end-to-end tests: the plugin with the
// default settings and the fake spamd.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>

#include "fake_spamd.h"
#include "plugin_process.h"

class PluginTest : public ::testing::Test {
public:  // the rows of parameterized tests act on it too
    void Start(int threads = 2, std::string_view extra = "", std::vector<std::string> args = {})
    {
        plugin.Start({.settings = DefaultSettingsText(spamd.SocketPath(), threads, extra), .args = std::move(args)});
    }
    // Message - a message file in the working directory; its path.
    std::string Message(const std::string& name,
                        const std::string& content = "P <a@example.org>\nR <b@example.org>\n\nSubject: hi\n\nhello\n")
    {
        WriteFile(plugin.WorkDir() + "/" + name, content);
        return plugin.WorkDir() + "/" + name;
    }
    // AskReload - new settings and the marker that asks for them.
    void AskReload(const std::string& settings)
    {
        WriteFile(plugin.WorkDir() + "/VelmoraSpamAssassin.cfg", settings);
        WriteFile(plugin.WorkDir() + "/hup.sig", "");
    }
    // Quit - the request and the orderly end: "q OK", the closing line, status
    // 0, no other reply on the way.
    void Quit(const std::string& request = "q QUIT")
    {
        plugin.Send(request);
        std::vector<std::string> rest = plugin.ReadAllUntilExit();
        EXPECT_EQ(plugin.WaitExit(), 0);
        rest.insert(rest.begin(), 2, "* ");  // two lines at least
        EXPECT_EQ(rest[rest.size() - 2], "q OK");
        EXPECT_EQ(rest.back(), "* SpamAssassin plugin finished.");
        for (size_t i = 0; i + 2 < rest.size(); i++)
            EXPECT_TRUE(rest[i].starts_with("* ")) << "reply after QUIT: " << rest[i];
    }
    // Mails - the texts of the delivered mails.
    std::vector<std::string> Mails() const
    {
        std::vector<std::string> texts;
        for (const auto& name : ListDirectory(plugin.SubmittedDir()))
            if (name.ends_with(".sub"))
                texts.push_back(ReadFileText(plugin.SubmittedDir() + "/" + name));
        return texts;
    }
    bool MailSays(const std::string& text) const
    {
        const std::vector<std::string> mails = Mails();
        return std::any_of(mails.begin(), mails.end(), [&](const std::string& m) { return m.find(text) != m.npos; });
    }

    TempDir sockets;
    FakeSpamd spamd{sockets.File("spamd.sock")};
    PluginProcess plugin;
};
