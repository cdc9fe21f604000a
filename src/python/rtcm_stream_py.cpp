// RtcmStream: an RTCM 3 stream decoded as its bytes arrive (a network connection read in pieces).
// Each take() gives the epochs completed since the one before as a record of their own, so that a
// stream that runs for months keeps in memory only what is still arriving. Decoding runs without
// the interpreter lock; one thread at a time may use a stream.
#include <cmath>
#include <map>
#include <memory>
#include <optional>

#include "python/binding.hpp"
#include "python/classes.hpp"
#include "rtcm/rtcm.hpp"

namespace tessora::py {

PyTypeObject* g_rtcm_stream_type = nullptr;

namespace {

using StreamPtr = std::unique_ptr<rtcm::RtcmDecoder>;

bool conv_date(PyObject* o, std::optional<EpochTime>& out) {
    std::string_view text;
    if (!conv_text(o, "date", text)) return false;
    out = parse_iso_date(text);
    if (!out) {
        raise(PyExc_ValueError, "date must be a datetime.date or a 'YYYY-MM-DD' text");
        return false;
    }
    return true;
}

PyObject* stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"date", "name", "clock"};
    PyObject* a[3];
    if (!bind_args("RtcmStream", names, 3, 0, args, kwargs, a)) return nullptr;
    rtcm::RtcmOptions options;
    if (!absent(a[0]) && !conv_date(a[0], options.date)) return nullptr;
    if (!absent(a[2])) {
        double clock = 0.0;
        if (!conv_float(a[2], "clock", clock)) return nullptr;
        if (!std::isfinite(clock)) return raise(PyExc_ValueError, "clock must be a finite number of seconds");
        options.file_time = clock;
    }
    if (!absent(a[1])) {
        std::string_view name;
        if (!conv_text(a[1], "name", name)) return nullptr;
        options.marker_name = std::string(name);
        options.file_name = std::string(name);
    }
    return box_new<StreamPtr>(type, std::make_unique<rtcm::RtcmDecoder>(std::move(options)));
}

// Runs `f` on the decoder without the interpreter lock, holding the stream's borrow meanwhile.
template <typename F>
bool on_decoder(PyObject* self, F&& f) {
    WriteBorrow guard(borrow_of<StreamPtr>(self));
    if (!guard.ok()) return false;
    rtcm::RtcmDecoder& d = *payload_of<StreamPtr>(self);
    return without_gil([&] { f(d); });
}

PyObject* stream_feed(PyObject* self, PyObject* arg) {
    std::string_view bytes;
    if (!conv_bytes(arg, "data", bytes)) return nullptr;
    if (!on_decoder(self, [&](rtcm::RtcmDecoder& d) { d.feed(bytes); })) return nullptr;
    Py_RETURN_NONE;
}

PyObject* stream_finish(PyObject* self, PyObject*) {
    if (!on_decoder(self, [](rtcm::RtcmDecoder& d) { d.finish(); })) return nullptr;
    Py_RETURN_NONE;
}

PyObject* stream_take(PyObject* self, PyObject*) {
    std::optional<rtcm::RtcmRecording> r;
    if (!on_decoder(self, [&](rtcm::RtcmDecoder& d) { r.emplace(d.take(false)); })) return nullptr;
    if (r->obs.epochs.empty()) Py_RETURN_NONE;
    return wrap_rinex_obs(std::move(r->obs));
}

// take_before(time): the completed epochs before an epoch text ("2024-03-05T08:00:00.000Z").
PyObject* stream_take_before(PyObject* self, PyObject* arg) {
    std::string_view text;
    if (!conv_text(arg, "time", text)) return nullptr;
    const auto before = parse_epoch_text(text);
    if (!before) return raise(PyExc_ValueError, "time must be an epoch text such as '2024-03-05T08:00:00.000Z'");
    std::optional<rtcm::RtcmRecording> r;
    if (!on_decoder(self, [&](rtcm::RtcmDecoder& d) { r.emplace(d.take_before(*before, false)); })) return nullptr;
    if (r->obs.epochs.empty()) Py_RETURN_NONE;
    return wrap_rinex_obs(std::move(r->obs));
}

PyObject* stream_set_date(PyObject* self, PyObject* arg) {
    std::optional<EpochTime> date;
    if (!conv_date(arg, date)) return nullptr;
    if (!on_decoder(self, [&](rtcm::RtcmDecoder& d) { d.set_date(*date); })) return nullptr;
    Py_RETURN_NONE;
}

PyObject* get_nav(PyObject* self, void*) {
    std::optional<rtcm::RtcmRecording> r;
    if (!on_decoder(self, [&](rtcm::RtcmDecoder& d) { r.emplace(d.recording()); })) return nullptr;
    if (!r->nav) Py_RETURN_NONE;
    return wrap_navigation(std::move(*r->nav));
}

PyObject* get_ephemerides(PyObject* self, void*) {
    std::uint64_t n = 0;
    if (!on_decoder(self, [&](rtcm::RtcmDecoder& d) { n = d.ephemerides(); })) return nullptr;
    return make_uint(n);
}

// Counters of the stream so far: frames, skipped_bytes, crc_failures, malformed, pending_bytes.
PyObject* get_stats(PyObject* self, void*) {
    rtcm::FrameStats f;
    std::uint64_t malformed = 0, pending = 0;
    std::map<int, std::uint64_t> counts;
    if (!on_decoder(self, [&](rtcm::RtcmDecoder& d) {
            f = d.frame_stats();
            malformed = d.malformed();
            counts = d.message_counts();
            pending = d.pending_bytes();
        }))
        return nullptr;
    Ref dict = Ref::steal(make_dict());
    if (!dict) return nullptr;
    const std::pair<const char*, std::uint64_t> items[] = {
        {"frames", f.frames}, {"skipped_bytes", f.skipped_bytes}, {"crc_failures", f.crc_failures},
        {"malformed", malformed}, {"pending_bytes", pending}};
    for (const auto& [k, v] : items)
        if (!dict_set(dict.get(), k, make_uint(v))) return nullptr;
    Ref types = Ref::steal(make_dict());
    if (!types) return nullptr;
    for (const auto& [type, n] : counts) {
        Ref key = Ref::steal(PyLong_FromLong(type)), value = Ref::steal(make_uint(n));
        if (!key || !value || PyDict_SetItem(types.get(), key.get(), value.get()) < 0) return nullptr;
    }
    if (!dict_set(dict.get(), "message_counts", types.release())) return nullptr;
    return dict.release();
}

PyGetSetDef kGetSet[] = {
    {"nav", get_nav, nullptr, "The ephemerides received so far as NavigationData, or None", nullptr},
    {"ephemerides", get_ephemerides, nullptr, "How many distinct ephemerides were received so far", nullptr},
    {"stats", get_stats, nullptr,
     "Counters so far: frames, skipped_bytes, crc_failures, malformed, pending_bytes and message_counts", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"feed", stream_feed, METH_O,
     "feed($self, data, /)\n--\n\nDecode the frames that data completes; a frame cut at its end waits for the next piece"},
    {"take", stream_take, METH_NOARGS,
     "take($self)\n--\n\nThe epochs completed since the last take, as a RinexObsData of their own, or None; "
     "they are then forgotten"},
    {"take_before", stream_take_before, METH_O,
     "take_before($self, time, /)\n--\n\nThe completed epochs before time (an epoch text, GPS time), as take() "
     "gives them, or None"},
    {"finish", stream_finish, METH_NOARGS,
     "finish($self)\n--\n\nThe end of the stream: a frame still cut short is given up, its epoch completes"},
    {"set_date", stream_set_date, METH_O,
     "set_date($self, date, /)\n--\n\nThe day the GPS week of the messages' times is taken from ('YYYY-MM-DD')"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("RtcmStream(date=None, name='', clock=None)\n--\n\n"
                                  "An RTCM 3 stream decoded as its bytes arrive: feed() the pieces, take() the "
                                  "epochs completed so far. date ('YYYY-MM-DD', a day of the stream) gives the GPS "
                                  "week, else the stream's ephemerides do, else clock (POSIX seconds, the host's "
                                  "time of a live stream); name becomes the records' marker name")},
    {Py_tp_new, reinterpret_cast<void*>(stream_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<StreamPtr>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {"tessora_cn0.RtcmStream", sizeof(Box<StreamPtr>), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyTypeObject* add_rtcm_stream_type(PyObject* module) {
    g_rtcm_stream_type = add_type(module, &kSpec);
    return g_rtcm_stream_type;
}

}  // namespace tessora::py
