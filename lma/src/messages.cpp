#include "lma/messages.hpp"

#include <cstdio>
#include <cstring>

#include "lma/explain.hpp"
#include "lma/replaced.hpp"

namespace lma {

namespace {

// Fills the "{}" of a str.format template with an integer.
std::string fill(const char* templ, long value) {
    std::string s(templ);
    const std::size_t at = s.find("{}");
    if (at != std::string::npos) {
        s.replace(at, 2, std::to_string(value));
    }
    return s;
}

template <class... Args>
std::string printf_text(const char* format, Args... args) {
    char buf[160];
    const int n = std::snprintf(buf, sizeof buf, format, args...);
    return n < 0 ? std::string() : std::string(buf);
}

std::string count_of(std::int64_t n, const char* unit) {
    return std::to_string(n) + " " + unit + (n == 1 ? "" : "s");
}

// "the record is cut short 3 bytes into PART", or "before PART".
std::string cut_short(std::int64_t present, const std::string& part) {
    std::string s = "the record is cut short ";
    if (present <= 0) {
        return s + "before " + part;
    }
    return s + count_of(present, "byte") + " into " + part;
}

std::string pulse_name(const RecordFault& f) {
    return "channel " + std::to_string(f.channel) + "'s pulse " +
           std::to_string(f.pulse);
}

// A pulse that does not fit its place in the trace, under the slice rules
// of fit_pulse (a negative first sample counts from the end).
std::string misfit(const RecordFault& f) {
    const std::int64_t first = f.p.first;
    const std::int64_t n = f.nsamples;
    std::string s = pulse_name(f) + " of " + count_of(f.p.length, "sample") +
                    " at sample " + std::to_string(first);
    const std::string trace = "the " + std::to_string(n) + "-sample trace";
    if (first < 0 && first + n < 0) {
        return s + " starts before " + trace + ", even counted from its end";
    }
    if (first < 0) {
        s += ", counted from the end,";
    }
    return s +
           (first >= n ? " starts past the end of " : " runs past the end of ") +
           trace;
}

std::string pulse_fault(const RecordFault& f) {
    const std::string at = f.info ? " at sample " + std::to_string(f.p.first)
                                  : std::string();
    switch (f.status.code) {
    case Errc::read: {
        if (f.info && !f.incomplete) {
            // Bad bytes, whatever follows them: the pulse cannot fit.
            return misfit(f);
        }
        std::string s = cut_short(f.present, pulse_name(f));
        if (f.samples >= 0) {
            s += f.samples == 0
                     ? ", before its "
                     : ", after " + std::to_string(f.samples) + " of its ";
            s += count_of(f.p.length, "sample");
        }
        return s;
    }
    case Errc::negative_length:
        return pulse_name(f) + at + " has a negative length (" +
               std::to_string(f.p.length) + ")";
    case Errc::empty_pulse:
        return pulse_name(f) + at + " has length 0";
    case Errc::broadcast:
        return misfit(f);
    default:
        return {};
    }
}

std::string header_fault(const RecordFault& f) {
    switch (f.status.code) {
    case Errc::seek:
        return "the header puts the first record before the start of the "
               "file";
    case Errc::negative_length:
        return "the header gives a negative number of samples per trace (" +
               std::to_string(f.nsamples) + ")";
    case Errc::inconsistent:
        return "the header's channel lists are shorter than its " +
               count_of(f.nchannels, "channel") + " in use";
    default:
        return {};
    }
}

// Told by the status alone, when the record no longer shows where.
std::string status_fault(const Status& s) {
    switch (s.code) {
    case Errc::read:
        return "the record is cut short";
    case Errc::seek:
        return "the record's offset cannot be sought";
    case Errc::negative_length:
        return "a pulse or the trace has a negative length (" +
               std::to_string(s.value) + ")";
    case Errc::empty_pulse:
        return "a pulse has length 0";
    case Errc::broadcast:
        return "a pulse of " + count_of(s.value, "sample") +
               " does not fit its place of " + count_of(s.extra, "sample") +
               " in the trace";
    case Errc::inconsistent:
        return "the header's channel lists are shorter than its channel "
               "count";
    default:
        return "the record cannot be decoded";
    }
}

}  // namespace

Message message_for(const Status& s) {
    switch (s.code) {
    case Errc::read:
        return {ErrorKind::os_error, fill(kReadTemplate, s.value)};
    case Errc::seek:
        return {ErrorKind::os_error, fill(kSeekTemplate, s.value)};
    case Errc::no_memory:
        return {ErrorKind::memory_error, {}};
    case Errc::closed:
        return {ErrorKind::os_error, kClosedMessage};
    case Errc::inconsistent:
        return {ErrorKind::runtime_error, kInconsistentMessage};
    case Errc::negative_length:
        return {ErrorKind::value_error, kNegativeLengthMessage};
    case Errc::empty_pulse:
        return {ErrorKind::index_error, printf_text(kEmptyPulseFormat, 0)};
    case Errc::broadcast:
        return {ErrorKind::value_error,
                printf_text(kBroadcastFormat, s.value, s.extra)};
    case Errc::os:
        return {ErrorKind::os_error,
                std::strerror(static_cast<int>(s.value))};
    case Errc::changed:
        return {ErrorKind::os_error, kChangedMessage};
    case Errc::not_regular:
        return {ErrorKind::os_error, kNotRegularMessage};
    case Errc::replaced:
        switch (static_cast<Replacement>(s.value)) {
        case Replacement::other_file:
            return {ErrorKind::os_error, kOtherFileMessage};
        case Replacement::header:
            return {ErrorKind::os_error, kHeaderRewrittenMessage};
        case Replacement::records:
            return {ErrorKind::os_error, kRecordsRewrittenMessage};
        }
        break;
    case Errc::sink:
    case Errc::ok:
        break;
    }
    return {ErrorKind::system_error, "unexpected decoder status"};
}

std::string damage_reason(const RecordFault& f) {
    std::string s;
    switch (f.place) {
    case FaultPlace::header:
        s = header_fault(f);
        break;
    case FaultPlace::tag:
        s = cut_short(f.present, "its tag");
        break;
    case FaultPlace::horpos:
        s = cut_short(f.present, "its horpos");
        break;
    case FaultPlace::count:
        s = cut_short(f.present, "channel " + std::to_string(f.channel) +
                                     "'s pulse count");
        break;
    case FaultPlace::pulse:
        s = pulse_fault(f);
        break;
    case FaultPlace::unknown:
        break;
    }
    return s.empty() ? status_fault(f.status) : s;
}

}  // namespace lma
