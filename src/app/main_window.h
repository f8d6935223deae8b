// TForm1, the main window: its own title bar, the left command column, the
// page control with the sources page (tree, properties, hex view) and the
// results page (results list, preview panel), the log and the status bar.
// Every element carries its name as objectName. Workers reach the window only
// through the message channel; Handle_UIMessage applies each message type.
//
// The command handlers are all in main_window_commands.cpp.
#pragma once

#include <QPoint>
#include <QWidget>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/log_file.h"
#include "app/worker.h"
#include "common/ui_message.h"
#include "common/version.h"
#include "platform/output_guard.h"
#include "scan/scan_session.h"
#include "sources/source_tree.h"

class QAction;
class QCheckBox;
class QFrame;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QSlider;
class QSplitter;
class QTabWidget;
class QToolButton;
class QTreeView;
class QTreeWidget;
class QTreeWidgetItem;

namespace qrv::app {

class TDispatcherScope;
class TForm2;
class TForm3;
class TForm4;
class TForm6;
class TForm7;
class TPreviewPlayer;
class TResultsTable;
class TVideoPanel;

// The version the status bar, the about box and the player show: the project's.
inline constexpr const char* kProgramVersion = kQrvVersion;

// Help files in the program folder: Chinese, and English for the English interface.
inline constexpr const char* kHelpFile = "Help.html";
inline constexpr const char* kHelpFileEnglish = "Help-en.html";

class TForm1 : public QWidget {
    Q_OBJECT
  public:
    // programFolder holds Updata/skin/ and the help files (the executable's
    // folder for the program; tests pass a folder of their own).
    explicit TForm1(const std::string& programFolder, QWidget* parent = nullptr);
    ~TForm1() override;

    // Applies one message of the channel (window thread only).
    void Handle_UIMessage(const TUiMessage& msg);

    // Starts a long operation or background work on a worker thread (see
    // worker.h). name is the operation name its error kind shows.
    // An operation runs with op as its state (stop flag, counters, progress
    // record; the window's own for work without a session when null): the
    // progress dialog shows it and its stop button stops it.
    bool Start_Worker(const std::string& name, std::function<void()> body,
                      TWorkerKind kind = TWorkerKind::Operation, std::shared_ptr<TOpState> op = {});
    // The state of the operation running (or the one run last).
    std::shared_ptr<TOpState> Running_Op() const { return runningOp_; }
    // The operation state a session holds, as Start_Worker takes it.
    static std::shared_ptr<TOpState> Op_Of(const std::shared_ptr<TScanSession>& session) {
        return std::shared_ptr<TOpState>(session, &session->Op);
    }
    // The sources of the window's sessions: no file the window writes may land on them.
    std::vector<std::string> Session_Sources() const;
    // No worker runs and every event they sent has been handled.
    bool Workers_Idle() const;
    // An operation worker runs (background work does not count).
    bool Operation_Running() const { return workers_.Operation_Running(); }
    // The session whose results the list shows (a loaded result file or the
    // last scan); export, preview and the thumbnails read it.
    std::shared_ptr<TScanSession> Shown_Session() const;
    // A scan runs in a session of its own while the list keeps showing the
    // one it shows: Begin_Scan names the new session; the list takes it over
    // when the scan lists its results, or when it ends without any
    // (End_Scan, on the window thread).
    void Begin_Scan(std::shared_ptr<TScanSession> session);
    void End_Scan(const std::shared_ptr<TScanSession>& session);
    std::shared_ptr<TScanSession> Scanning_Session() const { return scanning_; }
    // Starts an operation that follows the one running now (see worker.h).
    bool Start_NextWorker(const std::string& name, std::function<void()> body);

    const std::string& Program_Folder() const { return programFolder_; }
    const std::string& Temp_Folder() const { return tempFolder_; }
    TForm2* Form2() const { return form2_; }
    TForm3* Form3() const { return form3_; }
    TForm4* Form4() const { return form4_; }
    TForm6* Form6() const { return form6_; }
    TForm7* Form7() const { return form7_; }
    // The region dialog that message 4 closes.
    void Set_RegionDialog(QWidget* dialog) { regionDialog_ = dialog; }
    // Path of the help file for the current interface language.
    std::string Help_Path() const;
    // The rows of the log list, in order.
    std::vector<TLogRow> Log_Rows() const;

    // The sources behind the tree vrtlstrngtr1.
    TSourceTree& Sources() { return sources_; }
    // Where the refresh looks for disks and volumes (tests use a fake sysfs tree).
    void Set_EnumRoots(const TEnumRoots& roots) { enumRoots_ = roots; }
    // Shows the sources in the tree, expanded, with focus (when given) as the
    // focused and selected node.
    void Show_Sources(const TSourceNode* focus);
    // The focused node; nullptr when no node is selected.
    TSourceNode* Focused_Node() const;
    // The region dialog's confirm: inspects sectors [first, end) of the focused
    // node (sectors of sectorSize bytes) and shows the regions found under it.
    void Add_Regions(int32_t sectorSize, int64_t first, int64_t end);
    // Enables or disables the window's panel and page control (the dialogs and
    // the long operations disable them while they run).
    void Set_MainEnabled(bool enabled);

    // The rows of lvScanResult (the core's results model behind them).
    TResultsTable* Results() const { return results_; }
    // Deletes every row of the results list and the selection totals (a new
    // scan, or a load that left no results behind).
    void Clear_Results();
    // The search dialog's confirm: starts the search over the rows.
    void Start_Search(const std::string& startDate, const std::string& endDate, const std::string& model);
    // The preview player painting into pnl38.
    TPreviewPlayer* Preview() const { return preview_; }
    // The checked rows' totals in pnl25.
    void Show_Totals();

    // Output into a folder whose disk cannot be determined (btrfs, overlayfs,
    // zfs, fuse ...) while a device is the source: the output guard refuses
    // it, since the folder may lie on the source's disk. The user may accept
    // that risk for the folder once per session: asks (naming the folder and
    // the risk) and remembers the answer. True when the folder needs no
    // confirmation or has it; false when the user declined.
    bool Confirm_UnknownDisk(const std::string& folder, const std::string& sourcePath);
    // The guard options of output into folder: its unknown disk accepted when
    // the user confirmed it. Never the source itself or its known disk.
    TGuardOptions Output_Options(const std::string& folder) const;

  public slots:
    // Left column and title bar.
    void btnSelClick();
    void btnViewClick();
    void Show_About(); // "关于软件&"
    void Open_Help();  // the manual, in the interface language
    void btnHomeClick();
    void btnQQClick();
    void btnMainMenu0Click();
    void btnMinClick();
    // Maximises the window, or restores it when maximised (also a double
    // click on the title bar).
    void btnMaxClick();
    void btnCloseClick();
    void btnCheckUPClick();
    void btnMoreClick();
    // Sources page.
    void btnRefClick();
    void btnscanClick();
    void btnstopClick();
    void btnOpenImgClick();
    // Opens image files as sources, each with the checks of "打开镜像" and its
    // hint when refused (the files named on the command line or dropped on the window).
    void Open_ImageFiles(const QStringList& paths);
    // After an export or imaging has ended: shows the button that opens the
    // folder it wrote to (window thread only).
    void Offer_OutputFolder(const std::string& folder);
    void btnOpenFolderClick();
    void btnToimageClick();
    void btnHexClick();
    void btnLoadClick();
    // Loads a scan-result file for the focused source (the checks of "加载扫描结果").
    void Load_ResultFile(const QString& path);
    void btnCreateRegionClick();
    void N6Click();
    void vrtlstrngtr1NodeClick();
    void btnJumpClick();
    // "<<" and ">>" of the hex view: the sector before or after the one typed.
    void Show_PreviousSector();
    void Show_NextSector();
    // Results page.
    void btnsaveClick();
    void btnSelAllClick();
    void btnSelCancelClick();
    void btnSelFanClick();
    void btnStopSaveClick();
    void btnSerachClick();
    void N12Click();
    // Writes the carve report (report.xml, SHA256SUMS) of the last export again.
    void NReportClick();
    void lvScanResultClick();
    void lvScanResultColumnClick(int column);
    // The space key in the list: the current row and every selected row get
    // the opposite of the current row's check mark.
    void Toggle_ResultChecks();
    void btnPlayStartClick();
    void btnPlayPauseClick();
    void btnPlayStopClick();
    void chkMuteClick();
    // The player's position in microseconds, shown in lblStatus and on the seek bar.
    void fplyr1Position(int64_t microseconds);
    // The seek bar was clicked or dragged to a position (milliseconds).
    void sldPositionSeek(int milliseconds);
    // Log.
    void N3Click();
    void N5Click();
    // Interface language.
    void English1Click();
    void N32Click();

  protected:
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void dragEnterEvent(QDragEnterEvent* e) override;
    void dropEvent(QDropEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;
    // The window has no frame of the window system: its edges and corners
    // (a margin of kResizeMargin pixels) resize it.
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void changeEvent(QEvent* e) override;

  private:
    void Build_TitleBar(QWidget* parent);
    QWidget* Build_LeftColumn(QWidget* parent);
    QWidget* Build_SourcesPage();
    void Build_SourceTree(QSplitter* split);
    QWidget* Build_HexTab();
    // The row above the hex view: previous/next sector, the sector field, the totals.
    QHBoxLayout* Build_HexNavigation(QWidget* hexTab);
    QWidget* Build_ResultsPage();
    void Build_ResultsList(QSplitter* split);
    // The preview: the video panel, the seek bar and the player's buttons.
    QWidget* Build_PreviewPanel(QSplitter* split);
    QWidget* Build_LogGroup(QWidget* parent);
    QWidget* Build_StatusBar(QWidget* parent);
    void Build_Menus();
    // Connects the buttons, menu items and views to their handlers.
    void Wire_Commands();
    void Wire_Buttons();
    void Wire_SourcesPage();
    void Wire_ResultsPage();
    void Append_LogRow(const std::string& kind, const std::string& date, const std::string& text,
                       TSeverity severity);
    // The results page: clears the list and turns to the page; lists the
    // results on a worker unless the sender of the request lists them itself.
    void Open_ResultsPage(bool listedBySender);
    void Select_LastLogRow();
    void Select_ResultRow(int32_t index);
    // Stops the preview player and shows the idle panel.
    void Stop_Preview();
    // The row selected in lvScanResult, -1 when none.
    int Selected_ResultRow() const;
    // A mouse click in lvScanResult, once the list has applied it.
    void Results_Clicked();
    void Form_Create();
    void Show_Hex(const std::vector<uint8_t>& bytes);
    void Shut_Down();
    void Show_LanguageSwitch(int language);
    // The edges of the window under a point of it (none inside the margin or when maximised).
    Qt::Edges Edges_At(const QPoint& pos) const;
    // The drop-down of "打开镜像": the recent images and result files.
    void Fill_RecentMenu();
    // The player's caption with the program's version, in the interface language.
    QString Player_Caption() const;
    // Shows the player's duration next to the position (0: nothing plays).
    void Show_Duration(int64_t microseconds);

    std::string programFolder_;
    std::string tempFolder_;
    bool shown_ = false;
    bool shutDown_ = false;
    // The click being handled in lvScanResult changed a check mark.
    bool checkClicked_ = false;

    // Dragging the title bar where the platform cannot move the window itself.
    bool dragging_ = false;
    QPoint dragOffset_;
    // Resizing from an edge where the platform cannot do it itself.
    static constexpr int kResizeMargin = 5;
    Qt::Edges resizeEdges_;
    QRect resizeStart_;
    QPoint resizePress_;
    // Results lists filled by a scan or a load so far, and the list the
    // report of the last export belongs to (its export started under it).
    uint64_t resultsGeneration_ = 0;
    uint64_t reportGeneration_ = 0;

    QWidget* pnl1_ = nullptr;
    QFrame* pnlMainCurrent_ = nullptr;
    QLabel* pnlMainCapiton_ = nullptr;
    QToolButton* btnMainMenu0_ = nullptr;
    QToolButton* btnOpenFolder_ = nullptr; // opens outputFolder_
    QString outputFolder_;                 // where the last export or imaging wrote
    QToolButton* btnMin_ = nullptr;
    QToolButton* btnMax_ = nullptr;
    QToolButton* btnClose_ = nullptr;
    QToolButton* btnSel_ = nullptr;
    QToolButton* btnView_ = nullptr;
    QToolButton* btn5_ = nullptr;
    QToolButton* btn2_ = nullptr;
    QToolButton* btnHome_ = nullptr;
    QToolButton* btnQQ_ = nullptr;
    QTabWidget* pgc1_ = nullptr;
    QTabWidget* pgc2_ = nullptr;
    QTreeWidget* vrtlstrngtr1_ = nullptr;
    QTreeWidget* lvHDDAttribute_ = nullptr;
    QLineEdit* edtSec_ = nullptr;
    QLabel* lblTotalsec_ = nullptr;
    QLabel* lblPerSecbyte_ = nullptr;
    QFrame* pnl32_ = nullptr;
    QPlainTextEdit* hexView_ = nullptr;
    QLabel* pnl30_ = nullptr;
    QTreeView* lvScanResult_ = nullptr;
    TResultsTable* results_ = nullptr;
    TVideoPanel* pnl38_ = nullptr;
    TPreviewPlayer* preview_ = nullptr;
    QLabel* lblStatus_ = nullptr;
    QLabel* lblDuration_ = nullptr;
    QSlider* sldPosition_ = nullptr;
    QMenu* pmRecent_ = nullptr;
    QCheckBox* chkMute_ = nullptr;
    QTreeWidget* lvlog_ = nullptr;
    QLabel* pnl25_ = nullptr;
    QMenu* pm1_ = nullptr;
    QMenu* pmLog_ = nullptr;
    QMenu* pm2_ = nullptr;
    QMenu* pmSter0_ = nullptr;
    QAction* N24_ = nullptr;

    // The state of imaging and of other work without a session, and the state
    // of the operation running (or run last).
    std::shared_ptr<TOpState> toolOp_ = std::make_shared<TOpState>();
    // The session of the scan running (null when none runs).
    std::shared_ptr<TScanSession> scanning_;
    void Show_Session(std::shared_ptr<TScanSession> session);
    std::shared_ptr<TOpState> runningOp_ = toolOp_;
    TForm2* form2_ = nullptr;
    TForm3* form3_ = nullptr;
    TForm4* form4_ = nullptr;
    TForm6* form6_ = nullptr;
    TForm7* form7_ = nullptr;
    QWidget* regionDialog_ = nullptr;
    // Folders whose unknown disk the user accepted in this session.
    std::set<std::string> unknownDiskFolders_;
    TSourceTree sources_;
    TEnumRoots enumRoots_;
    TWorkerRunner workers_;
    std::unique_ptr<TDispatcherScope> dispatcher_;
};

} // namespace qrv::app
