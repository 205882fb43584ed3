// The host's side of the device-path purge. The agent writes the markers in the service's
// telemetry folder (pending, detected_utc, and completed_utc once a purge has completed) and
// never removes them; while the pending marker exists no upload is made. Once a purge has
// completed, the host lifts the block: when the next device-registration notification arrives,
// or at once on `datasyncctl resume`.
#pragma once

#include <string>

namespace datasyncd {

// A purge has completed and its markers are still there.
bool PurgeCompleted();

// Removes the three markers after a completed purge. Empty on success; otherwise why nothing was
// removed (no purge completed yet, or a marker that cannot be removed, named).
std::string ResumeAfterPurge();

}  // namespace datasyncd
