// Module-owned state per instance record, keyed by the record's address: a
// host may copy a record byte for byte, scribble on it or free it without
// deinit, and the record's layout is the host's, so what the module keeps
// about an instance lives here, not in the record.
#pragma once
#include <mutex>
#include <unordered_map>

#include "host/filter_data.h"

template <typename T>
struct PerRecord {
    std::mutex mutex;
    std::unordered_map<const NRFilterData*, T> records;
};

// The module's one store of T per record.
template <typename T>
PerRecord<T>& PerRecordStore() {
    static PerRecord<T> store;
    return store;
}
