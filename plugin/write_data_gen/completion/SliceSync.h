#pragma once
// Syncs of the other slices of a drive: a SYNCHRONIZE CACHE that another slice's agent sent
// flushes this slice's writes too. The host names what it covered by the numbers of the
// completions it handed this slice before the sync went out; these turn that into the command
// id bound the power-loss marks use.
#include <cstddef>
#include <cstdint>

namespace cardamor {

struct DriveData;

// Completions remembered for another slice's sync still in flight; enough for a sync that takes
// as long as this many completions of this slice (older ones are forgotten, and a sync covering
// only them counts for nothing).
inline constexpr size_t kSliceSyncWindow = 65536;

// Records the write completion the host handed over this pass ("CompletionNumber").
void noteWriteCompletion(DriveData& drive, uint64_t cmdId);

// Another slice's sync completed GOOD, covering this slice's completions numbered up to
// `synced` (0: none): every write below the first that had not completed by then is durable.
void applySliceSync(DriveData& drive, uint64_t synced);

}  // namespace cardamor
