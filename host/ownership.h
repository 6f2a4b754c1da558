// What each instance record made, kept by the module itself and keyed by the
// record's address: its GPU context and its two staging blocks. A host may copy
// a record byte for byte, scribble on it, or free it without calling deinit, so
// the record's own fields are only trusted where they match this registry.
// Thread-safe. The registry's lock is taken last: it may be taken with
// g_gpuMutex held, and is never held while taking another lock.
#pragma once
#include "host/filter_data.h"

// Start and run, before the record's resources are used: a resource field that
// does not hold what the record owns is cleared (neither used nor freed), and
// what the record owned in its place is released.
void NRDisownForeignResources(NRFilterData* fd);

// After the record made or replaced resources: they are the record's now.
// Where the registry cannot take them they are released and the fields cleared.
void NRTakeOwnership(NRFilterData* fd);

// Deinit: releases what the record owns and clears its three resource fields.
void NRReleaseResources(NRFilterData* fd);

// Init: releases what an earlier instance at this address left behind; the
// record itself is not read.
void NRReleaseEarlierInstance(const NRFilterData* fd);

// Module deinit: releases what every record still owns.
void NRReleaseAllResources();
