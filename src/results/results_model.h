// The results list: one row per rebuilt recording worth showing, with its
// level, camera model, shooting date, duration and sizes, a check mark, and
// the index of its result in the session's rebuilt recordings.
//
// To_View fills the list the way every worker talks to a front end: through
// message 5 of the channel. TResultsModel is the list itself; a front end (the
// window, the command line, a test) feeds it by passing the messages it
// receives to Apply_Message, for instance through TResultsSink. Search and
// export read and change the check marks directly, as the window's list does.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/text_format.h"
#include "common/ui_message.h"
#include "scan/scan_session.h"

namespace qrv {

// Sub-item positions of a row.
enum TRowColumn : int {
    COL_LEVEL = 0,    // 级别
    COL_MODEL = 1,    // 摄像机型号
    COL_DATE = 2,     // 拍摄日期
    COL_DURATION = 3, // 拍摄时长
    COL_LENGTH = 4,   // 文件长度
    COL_REAL = 5,     // 文件实际长度
    COL_INDEX = 6,    // hidden and left empty (the result index is TResultRow::ResultIndex)
};

struct TResultRow {
    std::string Caption; // row number given by the fill
    std::array<std::string, 7> Sub;
    bool Checked = false;
    // False for a result without media data (only a file head or movie box
    // was found): listed, but never checked and never exported.
    bool Exportable = true;
    int ImageIndex = 9; // level mark: 9 green, 10 blue, 11 yellow, 12 red
    // The export's decode check of the file written for this row: samples that
    // failed (-1: not checked) and the first failure's time in the recording.
    int64_t DecodeErrors = -1;
    double FirstErrorSeconds = -1;
    // The numbers behind the duration and length texts (seconds, bytes; -1
    // when unknown): taken from the result when the row is added, so that
    // the list sorts them as numbers and not as the texts ("10秒" after "9秒").
    double Seconds = -1;
    int64_t LengthBytes = -1, RealBytes = -1;
    // Position of the row's result in the session's rebuilt recordings (message 5's Number;
    // -1 when the sender gave none).
    int64_t ResultIndex = -1;
};

// What the export's decode check said of a row's file, for a tooltip: empty
// when it was not checked, else "解码检查:无错误" or the failed samples and the
// time of the first failure (mm:ss).
std::string Decode_Verdict(const TResultRow& row);

// The number a column of the row sorts by (column as in Sort_ByColumn:
// duration, file length, actual length); nullopt for the columns sorted by
// their text.
std::optional<double> Sort_Number(const TResultRow& row, int column);

// Level mark of a level text: 10, 11, 12 for "1", "2", "3", else 9.
int Level_Icon(const std::string& level);

// Size_Text (the size text of the list's lengths and of the selection totals)
// is shared with the export checks: common/text_format.h.

// Column captions of the list, in order (the hidden column has none).
extern const std::array<const char*, 7> kResultColumns;

class TResultsModel {
  public:
    // Handles message 5 (append a row: its texts and, in Number, the result
    // index); other types are ignored. Returns true when the message added a row.
    bool Apply_Message(const TUiMessage& msg);
    void Clear();
    int64_t Count() const;
    std::vector<TResultRow> Rows() const;
    // Copy of row i (an empty row when out of range).
    TResultRow Row(int64_t i) const;
    bool Checked(int64_t i) const;
    // Checking a row that is not exportable does nothing.
    void Set_Checked(int64_t i, bool checked);
    // Records the decode check of row i's exported file (see TResultRow); the
    // observer hears of it as of a changed mark.
    void Set_Decode(int64_t i, int64_t errors, double firstErrorSeconds);

    // Check commands: check every row, invert every row, uncheck every row
    // (rows that are not exportable stay unchecked).
    void Check_All();
    void Invert_Checks();
    void Clear_Checks();

    // "选中数量:" n " " "选中容量:" size text of the summed TrueFileLen of the
    // checked rows' results, or the empty text when no row is checked.
    std::string Selection_Totals() const;

    // Sorts by a column (0 the caption, c > 0 sub-item c - 1) comparing texts
    // with ASCII letters folded, the duration and the lengths by their
    // numbers (Sort_Number); descending while the direction is false, then
    // the direction is toggled (shared by all columns).
    void Sort_ByColumn(int column);
    bool Sort_Direction() const;

    // Called after check marks or decode verdicts were changed (by Set_Checked,
    // the check commands and Set_Decode), on the thread that changed them and
    // outside the model's lock:
    // a front end whose list shows the marks hands the news to its own thread.
    // Pass an empty function to remove the observer.
    void Set_CheckObserver(std::function<void()> observer);

    // The session whose rebuilt recordings the rows' hidden indexes point
    // into (null: none). A row added reads its result's exact lengths there;
    // the selection totals sum its lengths.
    void Set_Session(std::shared_ptr<TScanSession> session);
    std::shared_ptr<TScanSession> Session() const;

  private:
    void Checks_Changed() const;

    mutable std::mutex mu_;
    std::vector<TResultRow> rows_;
    bool sortDirection_ = false;
    std::shared_ptr<const std::function<void()>> observer_;
    std::shared_ptr<TScanSession> session_;
};

// Feeds a model from the message channel and passes every message on to the
// next sink (which may be null).
class TResultsSink : public TUiSink {
  public:
    TResultsSink(std::shared_ptr<TResultsModel> model, std::shared_ptr<TUiSink> next)
        : model_(std::move(model)), next_(std::move(next)) {}
    void Handle_UIMessage(const TUiMessage& msg) override;

  private:
    std::shared_ptr<TResultsModel> model_;
    std::shared_ptr<TUiSink> next_;
};

// Sends the rows of the results at positions first .. last - 1 of
// session.Rebuilds (message 5 each), with progress and log lines. A lone
// fragment, and a result without a header-carrying fragment that is not a
// duplicate, are not listed. Returns the number of rows sent.
int64_t To_View(TScanSession& session, int64_t first, int64_t last);

// Case-insensitive comparison of two texts (ASCII letters folded, other bytes
// by value): < 0, 0, > 0.
int Compare_TextNoCase(const std::string& a, const std::string& b);

} // namespace qrv
