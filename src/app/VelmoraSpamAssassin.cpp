// VelmoraSpamAssassin - the plugin's entry.
//
// The host starts the plugin as a child process and writes one request line
// per message; every FILE request is answered exactly once, later, by a
// scanning thread, or by the shutdown.  main wires the parts together: the
// start-up, the command loop and the shutdown are in lifecycle and
// command_loop; "-check" runs the check instead, "-learn" the learning run,
// "--help" and "--version" print and end.

#include <cstdio>
#include <cstring>

#include "app/check.h"
#include "app/command_loop.h"
#include "app/learn.h"
#include "app/lifecycle.h"
#include "app/plugin.h"
#include "app/signals.h"
#include "base/system.h"
#include "base/text.h"

namespace {

constexpr const char* kUsage =
    "usage: VelmoraSpamAssassin [-debug|-d] [-noCrashHandler]\n"
    "         the filter: the host writes request lines on standard input\n"
    "       VelmoraSpamAssassin -check\n"
    "         check the settings, the files and the engine hosts, then end\n"
    "       VelmoraSpamAssassin -learn spam|ham|forget PATH...\n"
    "         teach every learning host the messages of each PATH (a message file,\n"
    "         a directory, a Maildir or an mbox file)\n"
    "       VelmoraSpamAssassin --help | -h | --version\n";

}  // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; i++) {
        // A plugin started by hand to ask what it is must not wait on standard input.
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            fputs(kUsage, stdout);
            return 0;
        }
        if (strcmp(argv[i], "--version") == 0) {
            printf("VelmoraSpamAssassin %s (%s)\n", kPluginRelease, kPluginVersion);
            return 0;
        }
    }
    // The check starts no thread, writes no file and sends no notice.
    for (int i = 1; i < argc; i++)
        if (EqualStringsNoCase(argv[i], "-check"))
            return RunCheck(argc, argv);
    // Learning never runs inside the filtering process.
    for (int i = 1; i < argc; i++)
        if (EqualStringsNoCase(argv[i], "-learn"))
            return RunLearn(argc, argv);
    // Before any other thread exists, so that every thread inherits the block
    // and a SIGHUP during start-up waits for the HUP thread instead of ending
    // the process.
    BlockHangUp();
    Options options;
    ApplyTestHooks(options);
    static Immortal<Plugin> plugin(options.maxScanningTime);
    StartUp(*plugin, argc, argv, options);
    ShutDown(*plugin, CommandLoop(*plugin), options);
}
