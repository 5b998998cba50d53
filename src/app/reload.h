// reload - re-reading the settings while the plugin runs
//
// CheckConfigUpdate  reload when the marker file "hup.sig" exists (main thread,
//                    between request lines; see the entry point for how often)
// UpdateConfig       the reload: pause taking, wait for scans, stop the pool,
//                    re-read the settings, restart the pool, PING spamd (every host of a farm), resume
// BlockReloads       wait for a running reload and let no further one start
//                    (the shutdown: a reload must not restart the pool under it)
//
// Runs on the main thread (marker) or on the HUP thread (SIGHUP); the two are
// serialised by a lock of this module.
#pragma once

#include "app/plugin.h"

void CheckConfigUpdate(Plugin& plugin);
void UpdateConfig(Plugin& plugin);
void BlockReloads();
