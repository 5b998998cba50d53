// settings - the plugin's settings file "VelmoraSpamAssassin.cfg"
//
// ReadConfigFile   read the file and publish a new Settings snapshot (start-up, reload)
// CurrentSettings  the snapshot in force
// SettingsTree     a snapshot as a tree that the file syntax writes back (the check)
// IsSettingsKey    is a top-level key one that the plugin reads
//
// A snapshot is immutable.  Each scan, report and reload holds the snapshot it
// started with, so a reload that publishes a new one never pulls a value (or
// the settings tree pConf) from under a thread that is still using the old one.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/dictionary.h"
#include "config/learn_settings.h"
#include "config/paths.h"
#include "config/spamd_settings.h"

enum OnProblemMode { OnProblemExit = 0, OnProblemQuit = 1, OnProblemIgnore = 2 };

// The range of every number setting; a value outside it is refused at its
// line and the value in force stays.
struct NumberRange {
    int low;
    int high;
};
constexpr int kMaxScanningThreadsLimit = 100;
constexpr NumberRange kScanningThreadsRange{1, kMaxScanningThreadsLimit};
constexpr NumberRange kAlertLevelRange{0, 101};      // 101: no rating reaches it
constexpr NumberRange kRatingRange{0, 100};          // each BarScoreRanges bound
constexpr NumberRange kDumpIntervalRange{0, 86400};  // StatDumpInterval seconds; 0: no dump
constexpr int kMaxScoreRanges = 20;

struct Settings {
    std::string pMainHeader = "X-Junk-Score: ^1 [^2]\\eX-SA-Score: ^1 [^2]";
    std::string pAlertHeader = "X-Alert: possible spam!\\eX-Color: red";
    int alertLevel = 100;
    std::string socketPath = "/var/run/spam";
    int MaxScanningThreads = 10;
    int onProblemMode = OnProblemExit;
    std::vector<int> scoreRange = {0, 39, 76, 84, 90, 99, 100};  // nScoreRanges = size()
    std::string submittedDirName = "Submitted";
    int statDumpInterval = 10;
    std::string statDumpFileName = "statistics.dat";
    std::string metricsFile;                // empty: no metrics file
    bool logResults = false;                // a "* result" line for every answered FILE request
    // The spamd hosts: the Spamd dictionary, or else the one of SocketPath.
    SpamdSettings spamd = SocketPathFarm(socketPath);
    LearnSettings learn;                    // what "-learn" teaches (the filter does not use it)
    bool learnValid = true;                 // the file's Learn dictionary had no error
    std::shared_ptr<const cfgfItem> pConf;  // the whole tree, for the report dictionaries

    int nScoreRanges() const { return static_cast<int>(scoreRange.size()); }
};

// CurrentSettings - the snapshot in force (built-in defaults before the first read).
std::shared_ptr<const Settings> CurrentSettings();
// PublishSettings - make a snapshot the one in force (ReadConfigFile; tests).
void PublishSettings(Settings settings);

// ApplySettingsTree - the settings that a tree gives, starting from previous;
// every problem is reported through cfgfError (missing keys name fileName).  A key that is missing or
// wrong leaves its setting as in previous (a MaxScanningThreads out of range
// too; a BarScoreRanges holding a non-string is refused whole).  A null tree
// (unreadable file) reports every required key missing; pConf becomes the
// given tree.  A Spamd dictionary with an error leaves the farm as in
// previous; without one the farm is the one spamd of SocketPath.  Does not
// check the Submitted directory.
Settings ApplySettingsTree(const Settings& previous, std::shared_ptr<const cfgfItem> tree,
                           const std::string& fileName);

// SettingsTree - every setting of the snapshot under its key, in the order of
// the sample file, followed by the report dictionaries of its tree.
std::unique_ptr<cfgfItem> SettingsTree(const Settings& settings);
bool IsSettingsKey(std::string_view key);

// ReadConfigFile - read ConfigFilePath(), apply it over the settings in
// force and publish the result.  The Submitted directory must open: at
// start-up false is returned ("* FAILURE unable to access directory ...")
// and nothing is published, the caller ends the plugin; at a reload the
// directory in force stays, with a "* " line, and the rest is published.
bool ReadConfigFile(bool startUp);
