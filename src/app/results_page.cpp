// The results page of the main window: listing the results, the check
// commands and selection totals, sorting, search, loading a scan-result file,
// export, and the preview of a clicked row with the player's controls.
#include <QCheckBox>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QSlider>
#include <QTabWidget>
#include <QTreeView>

#include <filesystem>

#include "app/main_window.h"
#include "app/qt_text.h"
#include "app/preview_panel.h"
#include "app/progress_dialog.h"
#include "app/prompts.h"
#include "app/results_ops.h"
#include "app/results_table.h"
#include "app/search_dialog.h"
#include "app/window_settings.h"
#include "common/language.h"
#include "common/op_state.h"
#include "common/text_format.h"
#include "export/carve_report.h"
#include "export/export_job.h"

namespace qrv::app {

namespace {


// A box of the results page: caption "提示" unless given, text already in the
// interface language.
void Box(QWidget* owner, const std::string& text, TBoxIcon icon, const char* caption = "提示") {
    TBoxRequest r;
    r.Owner = owner;
    r.Text = U(text);
    r.Caption = U(Tr(caption));
    r.Icon = icon;
    r.LanguageId = Get_LanguageId();
    Message_Box(r);
}

} // namespace

// ------------------------------------------------------------ list

void TForm1::btnViewClick() {
    Open_ResultsPage(false);
}

void TForm1::Open_ResultsPage(bool listedBySender) {
    Stop_Preview();
    pnl25_->clear();
    results_->Clear();
    pgc1_->setCurrentIndex(1);
    if (Results_Count(*Shown_Session()) == 0) {
        Send_Log(Tr("显示结果失败"), Tr("重组结果为0无法显示!"));
        return;
    }
    // A scan lists its results on its own worker right after asking for this page.
    if (listedBySender) return;
    // A load asks for the list while its worker is still finishing: the
    // listing follows it.
    Start_NextWorker("View0000", [session = Shown_Session()] { Show_Results(*session); });
}

void TForm1::Clear_Results() {
    ++resultsGeneration_; // whatever comes next is not the list the last report belongs to
    results_->Clear();
    pnl25_->clear();
    lvScanResult_->header()->setSortIndicator(-1, Qt::AscendingOrder);
}

void TForm1::Show_Totals() {
    pnl25_->setText(U(results_->Model().Selection_Totals()));
}

int TForm1::Selected_ResultRow() const {
    // The row last clicked, when it is selected; else the first selected one.
    const QModelIndex current = lvScanResult_->currentIndex();
    if (current.isValid() && lvScanResult_->selectionModel()->isRowSelected(current.row(), {}))
        return current.row();
    const QModelIndexList rows = lvScanResult_->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.front().row();
}

void TForm1::Toggle_ResultChecks() {
    const QModelIndex current = lvScanResult_->currentIndex();
    if (!current.isValid()) return;
    std::set<int> rows{current.row()};
    for (const QModelIndex& i : lvScanResult_->selectionModel()->selectedRows())
        rows.insert(i.row());
    // One state for all: the opposite of the current row's (rows that cannot
    // be exported stay unchecked).
    const bool check = !results_->Model().Checked(current.row());
    for (int r : rows)
        results_->setData(results_->index(r, 0), check ? Qt::Checked : Qt::Unchecked, Qt::CheckStateRole);
    checkClicked_ = false;
    Show_Totals();
}

void TForm1::Select_ResultRow(int32_t index) {
    if (index < 0 || index >= results_->rowCount()) return;
    const QModelIndex it = results_->index(index, 0);
    lvScanResult_->setCurrentIndex(it);
    lvScanResult_->scrollTo(it);
}

void TForm1::lvScanResultColumnClick(int column) {
    // The selected result stays selected wherever the sort puts it.
    const int row = Selected_ResultRow();
    const int64_t selected = row >= 0 ? results_->Model().Row(row).ResultIndex : -1;
    // The direction this sort uses (the model toggles it afterwards).
    const bool ascending = results_->Model().Sort_Direction();
    results_->Sort(column);
    lvScanResult_->header()->setSortIndicator(column, ascending ? Qt::AscendingOrder : Qt::DescendingOrder);
    if (selected < 0) return;
    for (int r = 0; r < results_->rowCount(); ++r)
        if (results_->Model().Row(r).ResultIndex == selected) {
            Select_ResultRow(r);
            break;
        }
}

void TForm1::btnSelAllClick() {
    pnl25_->clear();
    results_->Model().Check_All();
    Show_Totals();
}

void TForm1::btnSelFanClick() {
    pnl25_->clear();
    if (results_->rowCount() == 0) return;
    results_->Model().Invert_Checks();
    Show_Totals();
}

void TForm1::N12Click() {
    pnl25_->clear();
    results_->Model().Clear_Checks();
}

void TForm1::btnSelCancelClick() {
    N12Click();
}

// The report describes one export: the files it wrote, where each byte came
// from and their digests. Exported rows are unchecked, so the checked rows name
// no export; what an examiner asks for again is the report of the last export
// (after deleting or moving it), rewritten next to those files.
void TForm1::NReportClick() {
    const auto report = Last_CarveReport();
    if (!report) {
        Hint_Box(this, "没有可写的导出报告!");
        return;
    }
    // The report names the files of an export of the results listed then;
    // after another scan or load it would describe the wrong recordings next
    // to the new list's.
    if (reportGeneration_ != resultsGeneration_ ||
        report->SourcePath != Export_SourcePath(*Shown_Session())) {
        Hint_Box(this, "上次导出的报告属于另一次扫描的结果,不能为当前结果写入!请先导出当前结果。",
                 TBoxIcon::Warning);
        return;
    }
    std::string path;
    const TOutcome written = Write_CarveReport(*report, TOutputGuard({report->SourcePath}), &path);
    if (!written.Is_Ok())
        Hint_Box(this, Tr("写入报告出错") + ":" + written.Why, TBoxIcon::Critical);
    else
        Hint_Box(this, Tr("报告已写入") + ":" + path);
}

// ------------------------------------------------------------ search

void TForm1::btnSerachClick() {
    form6_->Show_Centred();
}

void TForm1::Start_Search(const std::string& startDate, const std::string& endDate,
                          const std::string& model) {
    // Searching marks rows of the list shown: only from the results page.
    if (pgc1_->currentIndex() != 1) return;
    Start_Worker(
        "Find0000",
        [table = results_->Shared_Model(), startDate, endDate, model] {
            Find_Results(*table, startDate, endDate, model);
        },
        TWorkerKind::Operation, Op_Of(Shown_Session()));
}

// ------------------------------------------------------------ load

void TForm1::btnLoadClick() {
    const TSourceNode* node = Focused_Node();
    if (!node || node->Data.Level == 0) {
        // The file must be checked against the source it was made from.
        Hint_Box(this, "没有选择扫描结果所属的源,请先选择源再加载扫描结果!");
        return;
    }
    const QString path = Choose_OpenFile(this, U(Tr("加载扫描结果")), U(Tr("QRV文件|*.QRV")));
    if (path.isEmpty()) return;
    Load_ResultFile(path);
}

void TForm1::Load_ResultFile(const QString& path) {
    const TSourceNode* node = Focused_Node();
    if (!node || node->Data.Level == 0) {
        Hint_Box(this, "没有选择扫描结果所属的源,请先选择源再加载扫描结果!");
        return;
    }
    Add_RecentFile(path);
    ++resultsGeneration_; // the list is replaced by the file's
    form2_->Enable_SecondGauge(false);
    Start_Worker(
        "Load0000",
        [this, session = Shown_Session(), path = path.toStdString(), data = node->Data] {
            if (Load_Results(*session, path, data)) return;
            // No results are left behind the list (a file without records, or
            // one whose list part is missing): rows must not point into nothing.
            QMetaObject::invokeMethod(
                this,
                [this] {
                    if (Results_Count(*Shown_Session()) == 0) Clear_Results();
                },
                Qt::QueuedConnection);
        },
        TWorkerKind::Operation, Op_Of(Shown_Session()));
}

// ------------------------------------------------------------ export

void TForm1::btnsaveClick() {
    // Nothing checked: said before a folder is asked for.
    if (results_->Model().Selection_Totals().empty()) {
        Box(this, Tr("请选择要保存文件!"), TBoxIcon::Critical);
        return;
    }
    const QString title =
        U(Tr("提示")) + ":" + "\r\n" + U(Tr("设置恢复文件的保存路径,注意不要保存到同一个磁盘!"));
    const std::string folder = Choose_Folder(this, title).toStdString();
    if (!Confirm_UnknownDisk(folder, Export_SourcePath(*Shown_Session()))) return;
    const TGuardOptions output = Output_Options(folder);
    // No folder, no checked row, too little free space, or a folder the
    // output guard refuses for the source.
    if (const std::string refusal = Check_Export(*Shown_Session(), results_->Model(), folder, output);
        !refusal.empty()) {
        Box(this, refusal, TBoxIcon::Critical);
        return;
    }
    form2_->Show_SecondGauge(true);
    form2_->Enable_SecondGauge(true);
    const uint64_t generation = resultsGeneration_;
    const auto reportBefore = Last_CarveReport();
    const std::string before = reportBefore ? reportBefore->StartTime + reportBefore->Folder : std::string();
    Start_Worker(
        "Save0000",
        [this, session = Shown_Session(), table = results_->Shared_Model(), folder, output, generation,
         before] {
            Export_Results(*session, *table, folder, output);
            // A report this export wrote belongs to the list it exported.
            const auto report = Last_CarveReport();
            if (report && report->StartTime + report->Folder != before)
                QMetaObject::invokeMethod(
                    this, [this, generation] { reportGeneration_ = generation; }, Qt::QueuedConnection);
            // The recordings lie in the recovery folder under the chosen one.
            std::string written = folder + "/" + Recovery_FolderName();
            std::error_code ec;
            if (!std::filesystem::is_directory(written, ec)) written = folder;
            QMetaObject::invokeMethod(
                this, [this, written] { Offer_OutputFolder(written); }, Qt::QueuedConnection);
        },
        TWorkerKind::Operation, Op_Of(Shown_Session()));
}

// ------------------------------------------------------------ preview

void TForm1::Results_Clicked() {
    // A click on a check box checks or unchecks its row: the totals follow,
    // and neither the selection nor the preview changes.
    if (checkClicked_) {
        checkClicked_ = false;
        if (results_->rowCount() > 0) Show_Totals();
        return;
    }
    lvScanResultClick();
}

void TForm1::lvScanResultClick() {
    if (results_->rowCount() == 0) return;
    Show_Totals();
    const int row = Selected_ResultRow();
    // A click beside the rows selects nothing and plays nothing.
    if (row < 0) return;
    Stop_Preview();
    auto request = Preview_Start(*Shown_Session(), results_->Model().Row(row).ResultIndex, tempFolder_);
    // The sample is built beside whatever else runs; it ends by asking for
    // playback (message 9).
    Start_Worker(
        "Play0000", [request] { Preview_Build(request); }, TWorkerKind::Background);
}

void TForm1::Stop_Preview() {
    preview_->Stop();
    Show_Duration(0);
    sldPosition_->setValue(0);
}

void TForm1::btnPlayStartClick() {
    if (shutDown_) return;
    const std::string path = Preview_SamplePath();
    if (path.empty()) {
        Hint_Box(this, "播放器无法播放此类型文件程序将退出!");
        return;
    }
    const QString caption = Player_Caption();
    pnl38_->setText(caption);
    if (!preview_->Libraries_Loaded() && !preview_->Load_Libraries(programFolder_ + "/LibAV")) {
        pnl38_->setText(U(preview_->Last_Error()));
        return;
    }
    if (!preview_->Open_Play(path)) {
        pnl38_->setText(caption);
        return;
    }
    Show_Duration(preview_->Duration_Us());
}

void TForm1::btnPlayStopClick() {
    Stop_Preview();
    fplyr1Position(0);
}

void TForm1::Show_Duration(int64_t microseconds) {
    lblDuration_->setText("/ " + U(Position_Text(microseconds)));
    sldPosition_->setRange(0, int(std::min<int64_t>(microseconds / 1000, INT32_MAX)));
    sldPosition_->setEnabled(microseconds > 0);
}

void TForm1::sldPositionSeek(int milliseconds) {
    if (!preview_->Seek(int64_t(milliseconds) * 1000)) return;
    fplyr1Position(int64_t(milliseconds) * 1000);
}

void TForm1::btnPlayPauseClick() {
    preview_->Toggle_Pause();
}

void TForm1::chkMuteClick() {
    preview_->Set_Mute(chkMute_->isChecked());
}

void TForm1::fplyr1Position(int64_t microseconds) {
    lblStatus_->setText(U(Position_Text(microseconds)));
    // The bar follows the player, except while the user holds its handle.
    if (!sldPosition_->isSliderDown())
        sldPosition_->setValue(int(std::min<int64_t>(microseconds / 1000, INT32_MAX)));
}

} // namespace qrv::app
