// rating_fixture - runs the rating path in-process against a fake spamd:
// settings that point at it, statistics and whitelist reset around each test,
// message files in a temporary directory, replies captured from the output
// channel
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>

#include "config/settings.h"
#include "fake_spamd.h"
#include "output_capture.h"
#include "plugin_process.h"
#include "protocol/request.h"
#include "protocol/text.h"
#include "rating/scan.h"
#include "rating/whitelist.h"
#include "stats/ranked_list.h"
#include "stats/record.h"

class RatingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The plugin ignores SIGPIPE at start-up; a test process must do the same.
        signal(SIGPIPE, SIG_IGN);
        spamd = std::make_unique<FakeSpamd>(dir.File("s.sock"));
        Publish(Settings{});
        ResetAll();
    }

    void TearDown() override
    {
        spamd.reset();
        PublishSettings(Settings{});
        ResetAll();
    }

    static void ResetAll()
    {
        ResetStatistics();
        PluginLock lock(reportMutex);
        ReportClearList(&reportSourceList);
        ReportClearList(&reportTargetList);
        whitelist.Clear();
    }

    // Publish - the fake spamd's socket with other settings changed.
    void Publish(Settings settings)
    {
        settings.socketPath = spamd->SocketPath();
        PublishSettings(std::move(settings));
    }

    std::string WriteMessage(const std::string& content, const std::string& name = "message")
    {
        WriteFile(dir.File(name), content);
        return dir.File(name);
    }

    static void Fill(queueItem_t& item, const std::string& id, const std::string& path)
    {
        strnncpy(item.requestId, id.c_str(), kRequestIdSize);
        strnncpy(item.fileName, path.c_str(), kFileNameSize);
    }

    // ScanPath - everything ScanFile writes for one request.
    std::string ScanPath(const std::string& path, const std::string& id = "17")
    {
        queueItem_t item;
        Fill(item, id, path);
        OutputCapture output;
        ScanFile(item);
        return output.Text();
    }

    std::string ScanMessage(const std::string& content) { return ScanPath(WriteMessage(content)); }

    TempDir dir;
    std::unique_ptr<FakeSpamd> spamd;
};

// A message with an envelope as the host writes it.
inline const char* const kEnvelopedMessage =
    "P <sender@example.org>\nR <rcpt@example.net>\nS mail.example.org [192.0.2.1]\n\n"
    "Subject: test\n\nbody\n";
