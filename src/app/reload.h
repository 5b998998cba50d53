// reload - re-reading the settings while the plugin runs
//
// CheckConfigUpdate  reload when the marker file "hup.sig" exists (main thread,
//                    between request lines; see the command loop for how often)
// UpdateConfig       the reload: pause taking, wait for scans, stop the pool,
//                    re-read the settings and the whitelist, restart the
//                    pool, PING the engine hosts, resume
// BlockReloads       wait for a running reload and let no further one start
//                    (the shutdown: a reload must not restart the pool under it)
//
// A reload never ends the plugin: a Submitted directory that cannot be
// opened keeps the one in force, hosts that do not answer the PING are taken
// all the same (they start as down and the controller probes them), and a
// pool that cannot get its threads asks for the orderly shutdown.  Runs on
// the main thread (marker) or on the HUP thread (SIGHUP); the two are
// serialised by a lock of this module.
#pragma once

class Plugin;

void CheckConfigUpdate(Plugin& plugin);
void UpdateConfig(Plugin& plugin);
void BlockReloads();
