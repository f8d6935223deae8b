// The main window's command handlers of the left column, the title bar, the
// log and the interface language. The sources page's handlers are in
// sources_page.cpp, the results page's (list, load, search, export, preview)
// in results_page.cpp.
#include <QCursor>
#include <QDesktopServices>
#include <QFileInfo>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QMouseEvent>
#include <QTabWidget>
#include <QToolButton>
#include <QTreeWidget>
#include <QUrl>
#include <QWindow>

#include <filesystem>

#include "app/icons.h"
#include "app/main_window.h"
#include "app/qt_text.h"
#include "app/progress_dialog.h"
#include "app/prompts.h"
#include "app/window_settings.h"
#include "common/language.h"
#include "platform/language_files.h"
#include "platform/program_folder.h"

namespace qrv::app {

// ------------------------------------------------------------ left column

void TForm1::btnSelClick() {
    pnl25_->clear();
    pgc1_->setCurrentIndex(0);
    Stop_Preview();
}

void TForm1::Show_About() {
    TBoxRequest r;
    r.Owner = this;
    r.Caption = U(Tr("关于软件"));
    r.Text = U(Translate_Caption("QRV 视频恢复")) + "\n" + U(Translate_Caption("程序版本:")) + " " +
             kProgramVersion;
    r.LanguageId = Get_LanguageId();
    Message_Box(r);
}

std::string TForm1::Help_Path() const {
    const std::string english = programFolder_ + "/" + kHelpFileEnglish;
    if (Get_Language() == 1 && QFileInfo::exists(U(english))) return english;
    return programFolder_ + "/" + kHelpFile;
}

void TForm1::Open_Help() {
    // A missing file is left to the desktop's own error display; a desktop
    // without a program for it is told here, with the manual's path.
    if (QDesktopServices::openUrl(QUrl::fromLocalFile(U(Help_Path())))) return;
    Hint_Box(this, Tr("没有可以打开使用说明的浏览器,使用说明在:") + "\n" + Help_Path(), TBoxIcon::Warning);
}

void TForm1::btnHomeClick() {}    // no maker's website in this build
void TForm1::btnCheckUPClick() {} // no update server in this build
void TForm1::btnMoreClick() {}    // no maker's product page in this build

void TForm1::btnQQClick() {
    pmSter0_->popup(QCursor::pos() + QPoint(0, btnMainMenu0_->height()));
}

void TForm1::btnMainMenu0Click() {
    btnQQClick();
}

void TForm1::btnMinClick() {
    showMinimized();
}

void TForm1::btnMaxClick() {
    if (isMaximized())
        showNormal();
    else
        showMaximized();
}

void TForm1::changeEvent(QEvent* e) {
    QWidget::changeEvent(e);
    if (e->type() != QEvent::WindowStateChange || !btnMax_) return;
    // The button tells what a click does; a maximised window has no edges to resize.
    const bool maximised = isMaximized();
    btnMax_->setIcon(App_Icon(maximised ? "restore" : "maximize"));
    btnMax_->setToolTip(U(Tr(maximised ? "还原" : "最大化")));
    const int m = maximised ? 0 : kResizeMargin;
    layout()->setContentsMargins(m, m, m, m);
}

Qt::Edges TForm1::Edges_At(const QPoint& pos) const {
    Qt::Edges edges;
    if (isMaximized() || isFullScreen()) return edges;
    // The corners take a little more than the margin, so they are easy to hit.
    const int grip = kResizeMargin * 3;
    if (pos.x() < kResizeMargin ||
        (pos.x() < grip && (pos.y() < kResizeMargin || pos.y() >= height() - kResizeMargin)))
        edges |= Qt::LeftEdge;
    if (pos.x() >= width() - kResizeMargin ||
        (pos.x() >= width() - grip && (pos.y() < kResizeMargin || pos.y() >= height() - kResizeMargin)))
        edges |= Qt::RightEdge;
    if (pos.y() < kResizeMargin ||
        (pos.y() < grip && (pos.x() < kResizeMargin || pos.x() >= width() - kResizeMargin)))
        edges |= Qt::TopEdge;
    if (pos.y() >= height() - kResizeMargin ||
        (pos.y() >= height() - grip && (pos.x() < kResizeMargin || pos.x() >= width() - kResizeMargin)))
        edges |= Qt::BottomEdge;
    return edges;
}

namespace {
Qt::CursorShape Resize_Cursor(Qt::Edges edges) {
    const bool h = edges & (Qt::LeftEdge | Qt::RightEdge), v = edges & (Qt::TopEdge | Qt::BottomEdge);
    if (h && v)
        return (edges == (Qt::LeftEdge | Qt::TopEdge) || edges == (Qt::RightEdge | Qt::BottomEdge))
                   ? Qt::SizeFDiagCursor
                   : Qt::SizeBDiagCursor;
    if (h) return Qt::SizeHorCursor;
    if (v) return Qt::SizeVerCursor;
    return Qt::ArrowCursor;
}
} // namespace

void TForm1::mousePressEvent(QMouseEvent* e) {
    const Qt::Edges edges = Edges_At(e->position().toPoint());
    if (e->button() != Qt::LeftButton || !edges) {
        QWidget::mousePressEvent(e);
        return;
    }
    e->accept();
    // The window system resizes the window where it can (X11, Wayland);
    // elsewhere the window follows the mouse itself.
    if (windowHandle() && windowHandle()->startSystemResize(edges)) return;
    resizeEdges_ = edges;
    resizeStart_ = geometry();
    resizePress_ = e->globalPosition().toPoint();
}

void TForm1::mouseMoveEvent(QMouseEvent* e) {
    if (!resizeEdges_) {
        setCursor(Resize_Cursor(Edges_At(e->position().toPoint())));
        QWidget::mouseMoveEvent(e);
        return;
    }
    const QPoint d = e->globalPosition().toPoint() - resizePress_;
    QRect g = resizeStart_;
    const QSize least = minimumSizeHint().expandedTo(minimumSize());
    if (resizeEdges_ & Qt::LeftEdge) g.setLeft(std::min(g.left() + d.x(), g.right() - least.width()));
    if (resizeEdges_ & Qt::RightEdge) g.setRight(std::max(g.right() + d.x(), g.left() + least.width()));
    if (resizeEdges_ & Qt::TopEdge) g.setTop(std::min(g.top() + d.y(), g.bottom() - least.height()));
    if (resizeEdges_ & Qt::BottomEdge) g.setBottom(std::max(g.bottom() + d.y(), g.top() + least.height()));
    setGeometry(g);
    e->accept();
}

void TForm1::mouseReleaseEvent(QMouseEvent* e) {
    if (resizeEdges_ && e->button() == Qt::LeftButton) {
        resizeEdges_ = {};
        e->accept();
        return;
    }
    QWidget::mouseReleaseEvent(e);
}

void TForm1::btnCloseClick() {
    close();
}

// ------------------------------------------------------------ sources page

// The tree, the properties, the hex view and the commands on sources are in
// sources_page.cpp.

void TForm1::btnstopClick() {
    form2_->Ask_Stop();
}

void TForm1::btnHexClick() {
    pgc2_->setCurrentIndex(1);
}

// ------------------------------------------------------------ results page

void TForm1::btnStopSaveClick() {
    form2_->Ask_Stop();
}

// ------------------------------------------------------------ output folders

namespace {
// The folder as the file system names it, so that every spelling of it is one entry.
std::string Folder_Key(const std::string& folder) {
    std::error_code ec;
    const std::filesystem::path p = std::filesystem::weakly_canonical(folder, ec);
    return ec ? folder : p.string();
}
} // namespace

bool TForm1::Confirm_UnknownDisk(const std::string& folder, const std::string& sourcePath) {
    if (folder.empty()) return true;
    const TGuardVerdict v = TOutputGuard({sourcePath}).Check_Folder(folder);
    if (v.Cause != TGuardCause::UnknownDisk) return true;
    const std::string key = Folder_Key(folder);
    if (unknownDiskFolders_.count(key)) return true;
    TBoxRequest r;
    r.Owner = this;
    r.Caption = U(Tr("注意"));
    r.Text = U(Tr("无法确定此文件夹所在的磁盘,它可能就是源所在的磁盘,写入可能覆盖要恢复的数据!")) + "\n" +
             U(folder) + "\n" + U(Tr("仍要写入此文件夹吗?"));
    r.Icon = TBoxIcon::Warning;
    r.Buttons = TBoxButtons::OkCancel;
    r.LanguageId = Get_LanguageId();
    if (Message_Box(r) != TBoxAnswer::Ok) return false;
    unknownDiskFolders_.insert(key);
    return true;
}

TGuardOptions TForm1::Output_Options(const std::string& folder) const {
    TGuardOptions o;
    o.AcceptUnknownDisk = !folder.empty() && unknownDiskFolders_.count(Folder_Key(folder)) > 0;
    return o;
}

// ------------------------------------------------------------ log

void TForm1::N3Click() {
    const QString title =
        U(Tr("提示")) + ":" + "\r\n" + U(Tr("设置日志的保存路径,注意不要保存到同一个磁盘!"));
    const QString folder = Choose_Folder(this, title);
    if (folder.isEmpty()) return;
    // The rows are copied here, on the window thread, so that lines appended
    // while the file is written cannot race the writer.
    std::vector<TLogRow> rows = Log_Rows();
    const std::string target = folder.toStdString();
    Start_Worker(
        "Log0000",
        [rows = std::move(rows), target, sources = Session_Sources()] {
            if (!Write_LogFile(target, rows, sources))
                throw std::runtime_error(Tr("保存日志失败:") + target + "/log.txt");
        },
        TWorkerKind::Background);
}

void TForm1::N5Click() {
    if (lvlog_->topLevelItemCount() == 0) return;
    // The log is the record of what was done to the evidence: cleared only when confirmed.
    TBoxRequest r;
    r.Owner = this;
    r.Caption = U(Tr("注意"));
    r.Text = U(Tr("确定要清空日志吗?清空的日志行不能恢复,需要时请先保存日志。"));
    r.Icon = TBoxIcon::Warning;
    r.Buttons = TBoxButtons::OkCancel;
    r.LanguageId = Get_LanguageId();
    if (Message_Box(r) != TBoxAnswer::Ok) return;
    lvlog_->clear();
}

// ------------------------------------------------------------ interface language

void TForm1::Show_LanguageSwitch(int language) {
    // The choice is stored for the next start; until then the window, its
    // messages and its log keep the language it was started in.
    const int running = Get_Language();
    const uint16_t runningId = Get_LanguageId();
    TLanguageSwitch s = Program_LanguageSwitch(programFolder_, language);
    Set_Language(running);
    Set_LanguageId(runningId);
    TBoxRequest r;
    r.Owner = this;
    r.Text = U(s.Message);
    r.Caption = U(s.Caption);
    r.LanguageId = s.LanguageId;
    Message_Box(r);
    N24_->setIcon(Language_Image(language == 1 ? 10 : 9));
}

void TForm1::English1Click() {
    Show_LanguageSwitch(1);
}

void TForm1::N32Click() {
    Show_LanguageSwitch(0);
}

void TForm1::Offer_OutputFolder(const std::string& folder) {
    if (folder.empty()) return;
    outputFolder_ = U(folder);
    btnOpenFolder_->setToolTip(outputFolder_);
    btnOpenFolder_->setVisible(true);
}

void TForm1::btnOpenFolderClick() {
    if (!outputFolder_.isEmpty()) QDesktopServices::openUrl(QUrl::fromLocalFile(outputFolder_));
}

QString TForm1::Player_Caption() const {
    return U(Tr("QRV专用播放器 版本")) + " " + kProgramVersion;
}

void TForm1::Fill_RecentMenu() {
    pmRecent_->clear();
    const QStringList files = Recent_Files();
    if (files.isEmpty()) {
        pmRecent_->addAction(U(Tr("没有最近打开的文件")))->setEnabled(false);
        return;
    }
    for (int i = 0; i < files.size(); ++i) {
        const QString path = files[i];
        // "&1 card.img  (/folder/card.img)": the number is the menu's shortcut.
        QAction* a = pmRecent_->addAction(QString("&%1 %2").arg(i + 1).arg(QFileInfo(path).fileName()));
        a->setObjectName(QString("Recent%1").arg(i));
        a->setToolTip(path);
        a->setData(path);
        connect(a, &QAction::triggered, this, [this, path] {
            // A result file is loaded for the focused source; anything else opens as an image.
            if (path.endsWith(".QRV", Qt::CaseInsensitive))
                Load_ResultFile(path);
            else
                Open_ImageFiles({path});
        });
    }
    pmRecent_->setToolTipsVisible(true);
}

} // namespace qrv::app
