// Scan-result files (".QRV"): the whole rebuild-result list of a scan together
// with an identification of its source, so that the results can be listed,
// previewed and exported again later without scanning.
//
// Layout (little-endian): "QRVL" 1 14 0 0 | size-12 (4) | "INFO" N (4) content |
// "LIST" size-(28+N) (4) | records. A record is 0xAA R (4) then one result
// block (0xBB) and one fragment block (0xCC) per fragment; a block is its type,
// its length (2) and field entries tag (1) length (1) stored bytes, each value
// text passed through the field cipher (result_cipher.h).
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "common/outcome.h"
#include "media/tree_data.h"
#include "platform/output_file.h"
#include "platform/output_guard.h"
#include "results/result_cipher.h"
#include "scan/records.h"
#include "scan/scan_session.h"

namespace qrv {

// Kind bytes of the INFO content.
inline constexpr uint8_t kInfoDisk = 0xFE;
inline constexpr uint8_t kInfoVolume = 0xFD;
inline constexpr uint8_t kInfoImage = 0xFC;

// Largest INFO content: keeps the LIST header inside the first 1024 bytes.
inline constexpr uint32_t kMaxInfoLen = 996;
// Largest value text a field entry can hold (8 + 16 * 15 = 248 stored bytes).
inline constexpr size_t kMaxFieldText = 240;

// Writes session.Rebuilds to a new file at path; the file gets its name only
// when it is whole. An existing file is never replaced: with taken Refuse an
// existing path fails before anything is written, with NextFree (names the
// program made up) the next free name is taken. The name written is put into
// *written. Reports through the message channel; returns Ok when the whole
// file was written, and otherwise (after an error log line naming the path)
// Refused when the source node has no known kind, the path is taken or the
// guard refuses it, IoError when the file could not be created or written. The
// file is opened through an output guard for the node's source: the source
// itself, a block device, or (for a device source) a path on its disk is
// refused and nothing is written.
TOutcome Result_To_Disk(TScanSession& session, const std::string& path, const TTreeData& node,
                        const TGuardOptions& output = {}, TTakenName taken = TTakenName::Refuse,
                        std::string* written = nullptr);

// What a load found besides the records.
struct TLoadReport {
    int64_t Loaded = 0; // records loaded
    // Ok when the record area was read to its end; otherwise Corrupt (or
    // IoError) at the byte offset of the damaged record, with what is wrong
    // with it (translated). The records before the damage stay loaded.
    TOutcome Outcome;
    int64_t DamagedRecord = 0; // number of the damaged record, counted from 1
    bool Stopped = false;      // the stop flag ended the load; the records before it stay loaded
    bool Damaged() const { return !Outcome.Is_Ok(); }
};

// Memory a load may hold for its records, per byte of the file, plus a fixed
// allowance. A record written by Result_To_Disk takes more bytes in the file
// than in memory; a file whose records would need more declares entries its
// bytes cannot hold, and is damaged.
inline constexpr int64_t kLoadMemoryPerByte = 4;
inline constexpr int64_t kLoadMemorySlack = 1 << 20;

// Replaces session's scan records and rebuilt recordings by the file's records when the
// file belongs to the source node. A null node (no source chosen) is refused
// with a log line. On success sets the current source path and, when results
// were loaded, sends message 10. Returns true on success. Damage inside the
// record area (bad lengths, undecodable fields, misplaced blocks, more entries
// than the file's size can hold) ends the load with an error log line; the
// records before the damage stay loaded and report (when given) says where.
// A record area that is not whole, or holds a field the writer can never have
// stored, is damage too. The load ends with "加载结果完成!" only when the whole
// file was read, else with "加载结果未能完成!".
// Fragment entries are created as their blocks are read, never ahead from a
// count stored in the file, and the memory held stays within
// kLoadMemoryPerByte x file size + kLoadMemorySlack.
bool Load_To_List(TScanSession& session, const std::string& path, const TTreeData* node,
                  TLoadReport* report = nullptr);
inline bool Load_To_List(TScanSession& session, const std::string& path, const std::optional<TTreeData>& node,
                         TLoadReport* report = nullptr) {
    return Load_To_List(session, path, node ? &*node : nullptr, report);
}

// ---- pieces, exposed for tests and tools ----

// The INFO content the writer stores for a node (empty for an unknown kind).
TBytes Build_InfoContent(const TTreeData& node);

// The identity text stored under tag 1 for a node: disk -> HddModel,
// volume -> HddFs, image and region -> file-name part of HddModel.
std::string Info_Identity(const TTreeData& node);

// Cuts a text to at most max bytes without splitting a UTF-8 character.
std::string Cut_Utf8(const std::string& text, size_t max);

// Removes leading and trailing blanks and control characters (bytes <= 0x20).
std::string Trim_Field(const std::string& text);

} // namespace qrv
