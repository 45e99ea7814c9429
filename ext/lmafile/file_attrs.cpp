// The read-only attributes of a NativeFile: the header, the index and
// where its last scan stopped.
#include <string>

#include "lma/messages.hpp"
#include "native_file.hpp"

namespace lmafile {

namespace {

PyObject* get_closed(PyObject* self, void*) noexcept {
    FileState& s = state(self);
    ReadLock lock(s.lock);
    return PyBool_FromLong(!s.file.is_open());
}

PyObject* get_count(PyObject* self, void*) noexcept {
    FileState& s = state(self);
    ReadLock lock(s.lock);
    return PyLong_FromSize_t(s.index.size());
}

// The record offsets as native int64 bytes, for a read-only array.
PyObject* get_offsets(PyObject* self, void*) noexcept {
    FileState& s = state(self);
    ReadLock lock(s.lock);
    const auto& offsets = s.index.offsets;
    return PyBytes_FromStringAndSize(
        reinterpret_cast<const char*>(offsets.data()),
        static_cast<Py_ssize_t>(offsets.size() * sizeof(offsets[0])));
}

// Each record's tag as native int32 bytes, and horpos as float64 bytes,
// for read-only arrays.
PyObject* get_tags(PyObject* self, void*) noexcept {
    FileState& s = state(self);
    ReadLock lock(s.lock);
    const auto& tags = s.index.tags;
    return PyBytes_FromStringAndSize(
        reinterpret_cast<const char*>(tags.data()),
        static_cast<Py_ssize_t>(tags.size() * sizeof(tags[0])));
}

PyObject* get_horpos(PyObject* self, void*) noexcept {
    FileState& s = state(self);
    ReadLock lock(s.lock);
    const auto& horpos = s.index.horpos;
    return PyBytes_FromStringAndSize(
        reinterpret_cast<const char*>(horpos.data()),
        static_cast<Py_ssize_t>(horpos.size() * sizeof(horpos[0])));
}

// None, or (offset, event, error, reason, incomplete) for the record where
// the scan stopped: the error as iterating the reader raises it there, the
// reason a sentence saying what is wrong with the record, and whether the
// file merely ends inside it.
PyObject* get_damage(PyObject* self, void*) noexcept {
    return at_border<PyObject*>([&]() -> PyObject* {
        FileState& s = state(self);
        lma::Stop stop;
        lma::RecordFault fault;
        {
            ReadLock lock(s.lock);
            stop = s.stop;
            fault = s.fault;
        }
        if (!is_record_damage(stop.status.code)) {
            Py_RETURN_NONE;
        }
        Ref error = Ref::steal(damage_error(stop.status));
        if (!error) {
            return nullptr;
        }
        const std::string reason = lma::damage_reason(fault);
        return Py_BuildValue("(LLOs#O)", static_cast<long long>(stop.offset),
                             static_cast<long long>(stop.event), error.get(),
                             reason.data(),
                             static_cast<Py_ssize_t>(reason.size()),
                             fault.incomplete ? Py_True : Py_False);
    });
}

PyObject* get_scan_count(PyObject* self, void*) noexcept {
    FileState& s = state(self);
    ReadLock lock(s.lock);
    return PyLong_FromUnsignedLongLong(s.scans);
}

PyObject* get_channels(PyObject* self, void*) noexcept {
    const lma::Header& h = state(self).header;
    Ref list = Ref::steal(PyList_New(0));
    for (std::size_t i = 0; list && i < h.channels.size(); ++i) {
        Ref item = Ref::steal(PyLong_FromLong(h.channels[i]));
        if (!item || PyList_Append(list.get(), item.get()) != 0) {
            return nullptr;
        }
    }
    return list.release();
}

// One (fullscale, offset, baseline, gain) per channel in use.
PyObject* get_calibration(PyObject* self, void*) noexcept {
    const lma::Header& h = state(self).header;
    Ref list = Ref::steal(PyList_New(0));
    for (std::size_t i = 0; list && i < h.channel_info.size(); ++i) {
        const lma::Channel& c = h.channel_info[i];
        Ref item = Ref::steal(Py_BuildValue("(iiid)", c.fullscale, c.offset,
                                            c.baseline, c.gain));
        if (!item || PyList_Append(list.get(), item.get()) != 0) {
            return nullptr;
        }
    }
    return list.release();
}

PyObject* get_nsamples(PyObject* self, void*) noexcept {
    return PyLong_FromLong(state(self).header.nsamples);
}

PyObject* get_sample_interval(PyObject* self, void*) noexcept {
    return PyFloat_FromDouble(state(self).header.sample_interval);
}

PyObject* get_pos_begin(PyObject* self, void*) noexcept {
    return PyLong_FromLongLong(state(self).header.pos_begin);
}

PyObject* get_end(PyObject* self, void*) noexcept {
    FileState& s = state(self);
    ReadLock lock(s.lock);
    const std::int64_t end = s.index.end;
    return PyLong_FromLongLong(end);
}

}  // namespace

PyGetSetDef nativefile_getset[] = {
    {"closed", get_closed, nullptr, "True once closed.", nullptr},
    {"count", get_count, nullptr, "Records in the index.", nullptr},
    {"offsets", get_offsets, nullptr, "Record offsets, int64 bytes.",
     nullptr},
    {"tags", get_tags, nullptr, "Record tags, int32 bytes.", nullptr},
    {"horpos", get_horpos, nullptr, "Record horpos, float64 bytes.",
     nullptr},
    {"damage", get_damage, nullptr,
     "None, or (offset, event, error, reason, incomplete) where the scan "
     "stopped.",
     nullptr},
    {"scan_count", get_scan_count, nullptr, "Scans run so far.", nullptr},
    {"channels", get_channels, nullptr, "Channel indices in use.", nullptr},
    {"calibration", get_calibration, nullptr,
     "(fullscale, offset, baseline, gain) per channel in use.", nullptr},
    {"nsamples", get_nsamples, nullptr, "Samples per trace.", nullptr},
    {"sample_interval", get_sample_interval, nullptr,
     "Seconds between samples.", nullptr},
    {"pos_begin", get_pos_begin, nullptr, "Offset of the first record.",
     nullptr},
    {"end", get_end, nullptr,
     "After the last indexed record: where the next scan goes on; -1 "
     "before the first.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace lmafile
