// command_loop - the host's request lines on standard input
//
// CommandLoop  read and answer request lines until QUIT, the end of input
//              or a shutdown asked for by another thread; then answer the
//              lines already read ahead.  The ids of the QUIT requests read,
//              whose OK the shutdown writes last.
//
// The main thread alone reads standard input.  FILE requests are queued for
// the pool; every other request is answered at once.  Once the loop has
// ended, the shutdown has begun: a FILE request among the lines read ahead
// is rejected (the host retries it), the others are answered as usual.  The
// reload marker is looked for whenever the host paused before a line, and
// at least once a second within a burst of lines.
#pragma once

#include <string>
#include <vector>

class Plugin;

std::vector<std::string> CommandLoop(Plugin& plugin);
