// reload - re-reading the settings while the plugin runs
//
// CheckConfigUpdate  reload when the marker file "hup.sig" exists (main thread,
//                    once per request line)
// UpdateConfig       the reload: pause taking, wait for scans, stop the pool,
//                    re-read the settings, restart the pool, PING spamd, resume
//
// Runs on the main thread (marker) or on the signal thread (SIGHUP); the two
// are serialised by a lock of this module.
#pragma once

void CheckConfigUpdate();
void UpdateConfig();
// BlockReloads - wait for a running reload and let no further one start
// (the shutdown: a reload must not restart the pool under it).
void BlockReloads();
