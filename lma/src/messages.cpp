#include "lma/messages.hpp"

#include <cstdio>
#include <cstring>

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
    case Errc::sink:
    case Errc::ok:
        break;
    }
    return {ErrorKind::system_error, "unexpected decoder status"};
}

}  // namespace lma
