// What a failed status means to a user: the exception kind and the text the
// reader raises for it. Both extensions report damage through this, so a
// damaged record reads the same whichever reads it.
#pragma once

#include <string>

#include "lma/status.hpp"

namespace lma {

// str.format templates, with the C library's result as the one argument.
inline constexpr char kReadTemplate[] = "Fail to read a block: {}!";
inline constexpr char kSeekTemplate[] = "Fail to seek a position: {}!";
inline constexpr char kCloseTemplate[] = "Fail to close a file: {}!";
inline constexpr char kClosedMessage[] = "File is closed!";
// printf-style, as the array library words them.
inline constexpr char kEmptyPulseFormat[] =
    "Out of bounds on buffer access (axis %d)";
inline constexpr char kNegativeLengthMessage[] =
    "negative dimensions are not allowed";
inline constexpr char kBroadcastFormat[] =
    "could not broadcast input array from shape (%ld,) into shape (%ld,)";
inline constexpr char kInconsistentMessage[] =
    "the channel lists are shorter than the channel count; the header was "
    "not read completely";
inline constexpr char kChangedMessage[] =
    "the file changed since its records were indexed";
inline constexpr char kNotRegularMessage[] = "not a regular file";
// Why a file counts as replaced, by Replacement.
inline constexpr char kOtherFileMessage[] =
    "another file is at its path now";
inline constexpr char kHeaderRewrittenMessage[] = "its header was rewritten";
inline constexpr char kRecordsRewrittenMessage[] =
    "its indexed records were rewritten";

enum class ErrorKind {
    os_error,      // OSError; for Errc::os built from errno (value)
    index_error,
    value_error,
    memory_error,  // text empty: the host's own out-of-memory error
    runtime_error,
    system_error,  // a status that should never be reported
};

struct Message {
    ErrorKind kind = ErrorKind::system_error;
    std::string text;
};

// The exception for a failed status; Errc::os gives strerror(value) as the
// text. Errc::sink and Errc::ok have no message of their own
// (system_error).
Message message_for(const Status& s);

struct RecordFault;

// What is wrong with a damaged record, in one plain sentence without a
// capital or full stop, to follow "damaged record at byte B (event E): ".
// A fault of unknown place is told by its status alone; a pulse cut short
// that could not fit the trace anyway, by its misfit.
std::string damage_reason(const RecordFault& f);

}  // namespace lma
