// VelmoraSpamAssassin - the plugin's entry.
//
// The host starts the plugin as a child process and writes one request line
// per message; every FILE request is answered exactly once, later, by a
// scanning thread, or by the shutdown.  main wires the parts together: the
// start-up, the command loop and the shutdown are in lifecycle and
// command_loop; "-check" runs the check instead.

#include "app/check.h"
#include "app/command_loop.h"
#include "app/lifecycle.h"
#include "app/plugin.h"
#include "app/signals.h"
#include "base/system.h"
#include "base/text.h"

int main(int argc, char** argv)
{
    // The check starts no thread, writes no file and sends no notice.
    for (int i = 1; i < argc; i++)
        if (EqualStringsNoCase(argv[i], "-check"))
            return RunCheck(argc, argv);
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
