// check - "VelmoraSpamAssassin -check": could the plugin run as it is set up?
//
// RunCheck  check what the start-up would use and print the settings in
//           force; the process's exit status (0: the plugin could run, 1: not)
//
// Called by main instead of the start-up, on the main thread, before any
// other thread exists.  The working directory comes from the program path as
// usual.  The check starts no thread, creates, renames or deletes no file,
// and sends no notice: a damaged statistics dump is reported, not removed.
//
// It reports, one "* " line each, in this order:
//   settings    every error that the plugin would report for the settings
//               file (as the plugin words it) and keys that it ignores
//   whitelist   an unreadable file, lines that can never match
//   dump        whether the statistics dump is readable and usable, or why not
//   submission  the SubmittedDirectory exists, is writable by this user and
//               lies on a filesystem with free space (a relative one is taken
//               from the current directory, as the plugin takes it)
//   metrics     whether the MetricsFile can be written where it is set
//   spamd       a PING to every spamd host, with its protocol word and round trip
//   learn       a PING to every host that "-learn" would teach, and whether
//               the rspamd controller's password file can be used
// then "* settings in force:" and the settings in the file's own syntax, then
// "* check passed: ..." or "* check failed: ...".  Errors (settings errors, an
// unusable submission directory, a spamd host that does not answer) give
// status 1; warnings leave it 0.
#pragma once

int RunCheck(int argc, char** argv);
