// The result of an operation that can fail part way: it worked, the bytes
// could not be read, the bytes were read but do not make sense, the operator
// stopped it, or the request was refused before anything was done. A failure
// carries the byte offset it was found at and what was wrong, so the caller can
// log it and end with its error closing line instead of throwing from deep
// inside a loop.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace qrv {

enum class TOutcomeKind : uint8_t {
    Ok,
    IoError,   // a read or write of the medium or a file failed
    Corrupt,   // the bytes were read but are not what they must be
    Cancelled, // the stop flag ended the operation
    Refused,   // the request was not acceptable (a range, a target, a choice); nothing was done
};

struct TOutcome {
    TOutcomeKind Kind = TOutcomeKind::Ok;
    int64_t Offset = -1; // byte offset of the failure; -1 when it has none
    std::string Why;     // what went wrong, for the log line

    bool Is_Ok() const { return Kind == TOutcomeKind::Ok; }
    bool Failed() const {
        return Kind == TOutcomeKind::IoError || Kind == TOutcomeKind::Corrupt ||
               Kind == TOutcomeKind::Refused;
    }

    static TOutcome Ok() { return {}; }
    static TOutcome Io_Error(int64_t offset, std::string why) {
        return {TOutcomeKind::IoError, offset, std::move(why)};
    }
    static TOutcome Corrupt(int64_t offset, std::string why) {
        return {TOutcomeKind::Corrupt, offset, std::move(why)};
    }
    static TOutcome Cancelled(int64_t offset) { return {TOutcomeKind::Cancelled, offset, {}}; }
    // Why is the text the user is shown.
    static TOutcome Refused(std::string why) { return {TOutcomeKind::Refused, -1, std::move(why)}; }
};

} // namespace qrv
