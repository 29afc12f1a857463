// Layouts of the functional objects that other modules look into: the chip's
// selected mode (read by acquisition) and the callback records of acquisition
// and monitor (released by Device.finalize()).
#pragma once
#include "core.hpp"

#include <string>
#include <unordered_map>

namespace kelo {

// Callback records by key, in insertion order. Replacing a key releases the
// callable of the record it held; the record's memory stays with the context.
class RecordMap {
    std::vector<std::pair<std::string, PyRef*>> items_;

public:
    PyRef* get(const std::string& key) const {
        for (auto& [k, r] : items_)
            if (k == key) return r;
        return nullptr;
    }
    void replace(const std::string& key, PyRef* rec) {
        for (auto& [k, r] : items_)
            if (k == key) {
                if (r != rec) release_record(std::exchange(r, rec));
                return;
            }
        items_.emplace_back(key, rec);
    }
    bool holds(const PyRef* rec) const {
        for (auto& item : items_)
            if (item.second == rec) return true;
        return false;
    }
    void release_all() {
        for (auto& item : items_) release_record(item.second);
    }
    size_t size() const { return items_.size(); }
};

constexpr size_t kModeSize = 30;

struct ChipObject {
    PyObject_HEAD
    PyObject* context;
    char mode[kModeSize];  // NUL-terminated identifier of the selected mode
};

struct AcquisitionObject {
    PyObject_HEAD
    PyObject* context;
    PyRef* data_func_ref;  // record of the latest registration attempt
    PyObject* chip;
    RecordMap* channels;   // accepted registrations by channel
};

struct MonitorObject {
    PyObject_HEAD
    PyObject* context;
    RecordMap* onValueChanged;
    RecordMap* onAvailChanged;
};

inline void finalize_acquisition(AcquisitionObject* acq) {
    release_record(acq->data_func_ref);
    if (acq->channels) acq->channels->release_all();
}

inline void finalize_monitor(MonitorObject* mon) {
    if (mon->onValueChanged) mon->onValueChanged->release_all();
    if (mon->onAvailChanged) mon->onAvailChanged->release_all();
}

}  // namespace kelo
