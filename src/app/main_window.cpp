#include "app/main_window.h"
#include "app/qt_text.h"
#include "app/window_settings.h"

#include <span>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QEventLoop>
#include <QFontDatabase>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QSlider>
#include <QSplitter>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTabBar>
#include <QTabWidget>
#include <QThread>
#include <QToolButton>
#include <QTranslator>
#include <QTreeView>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QWindow>

#include <filesystem>
#include <limits>

#include "app/advanced_dialog.h"
#include "app/category_panel.h"
#include "app/icons.h"
#include "app/preview_panel.h"
#include "app/progress_dialog.h"
#include "app/region_dialog.h"
#include "app/results_table.h"
#include "app/search_dialog.h"
#include "app/settings_dialog.h"
#include "app/thumbnails.h"
#include "app/translate_form.h"
#include "app/ui_dispatcher.h"
#include "common/language.h"
#include "common/op_state.h"
#include "platform/language_files.h"
#include "platform/program_folder.h"
#include "scan/records.h"

namespace qrv::app {

namespace {


// Item data role holding the index of a row's image in the small image list.
constexpr int kImageRole = Qt::UserRole + 1;

const char* kTitleStyle = "#pnlMainCurrent { background: #2b579a; }"
                          "#pnlMainCapiton { color: white; font-weight: bold; }"
                          "#pnlMainCurrent QToolButton { color: white; border: none; padding: 2px 6px; }"
                          "#pnlMainCurrent QToolButton:hover { background: #3c6cb4; }"
                          "#pnlMainCurrent QToolButton#btnClose:hover { background: #d9382c; }";

const char* kLeftStyle =
    "#pnlLeft { background: #eef3f9; border-right: 1px solid #c8d4e3; }"
    "#pnlLeft QToolButton[qrvCategory=\"true\"] { background: #d5e2f1; border: none;"
    "  border-bottom: 1px solid #b7c9de; font-weight: bold; padding: 4px; text-align: left; }"
    "#pnlLeft QToolButton[qrvCommand=\"true\"] { border: none; padding: 4px; }"
    "#pnlLeft QToolButton[qrvCommand=\"true\"]:hover { background: #dce8f5; }";

// Sets up a list or tree with its column captions and widths (-1: default).
void Setup_Columns(QTreeWidget* t, const std::vector<std::pair<const char*, int>>& columns) {
    QStringList captions;
    for (const auto& c : columns)
        captions << U(c.first);
    t->setColumnCount(int(columns.size()));
    t->setHeaderLabels(captions);
    for (int i = 0; i < int(columns.size()); ++i)
        if (columns[size_t(i)].second >= 0) t->setColumnWidth(i, columns[size_t(i)].second);
    t->header()->setStretchLastSection(false);
}

// A report-style list: whole-row selection, no tree lines.
void Setup_ListView(QTreeWidget* t) {
    t->setRootIsDecorated(false);
    t->setSelectionBehavior(QAbstractItemView::SelectRows);
    t->setSelectionMode(QAbstractItemView::SingleSelection);
    t->setEditTriggers(QAbstractItemView::NoEditTriggers);
    t->setUniformRowHeights(true);
    t->setIconSize(QSize(16, 16));
}

// The toolkit's own dialogs and controls (folder and file pickers, their
// buttons, the tabs' scroll buttons) follow the interface language: Qt's
// Chinese translation, from the program folder or from Qt's own folder, is
// installed for Chinese and removed again for English. Without one they stay
// English.
void Use_QtChinese(const std::string& programFolder, bool chinese) {
    static QTranslator* installed = nullptr;
    if (!chinese) {
        if (installed) QCoreApplication::removeTranslator(installed);
        delete installed;
        installed = nullptr;
        return;
    }
    if (installed) return;
    auto* t = new QTranslator;
    const QString name = "qtbase_zh_CN";
    if (t->load(name, QString::fromStdString(programFolder) + "/translations") ||
        t->load(name, QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QCoreApplication::installTranslator(t);
        installed = t;
        return;
    }
    delete t;
}


// One button of a page's tool bar: caption under the icon.
struct TToolButton {
    const char* name;
    const char* caption;
    const char* icon;
};

// The tool bars of the sources page and of the results page.
constexpr TToolButton kSourcesTools[] = {
    {"btnRef", "刷新磁盘(&C)", "refresh"},       {"btnscan", "扫描(&D)", "scan"},
    {"btnstop", "停止(&E)", "stop"},             {"btnOpenImg", "打开镜像(&F)", "open_image"},
    {"btnToimage", "创建镜像(&G)", "create_image"}, {"btnHex", "查看HEX值(&R)", "hex"},
    {"btnLoad", "加载扫描结果(&Q)", "load"},     {"btnCreateRegion", "创建区域(&X)", "region"}};
constexpr TToolButton kResultsTools[] = {
    {"btnsave", "保存数据(&S)", "save"},          {"btnSelAll", "全部选择(&A)", "select_all"},
    {"btnSelCancel", "取消全选(&F)", "select_none"}, {"btnSelFan", "反向选择(&T)", "select_invert"},
    {"btnStopSave", "停止(&E)", "stop"},          {"btnSerach", "搜索文件(&U)", "search"}};

// A page's tool bar: its buttons from the left, the rest empty.
QFrame* Tool_Bar(QWidget* page, const char* name, std::span<const TToolButton> buttons) {
    auto* bar = new QFrame(page);
    bar->setObjectName(name);
    auto* bl = new QHBoxLayout(bar);
    bl->setContentsMargins(0, 0, 0, 0);
    bl->setSpacing(2);
    for (const TToolButton& s : buttons) {
        auto* b = new QToolButton(bar);
        b->setObjectName(s.name);
        b->setText(U(s.caption));
        b->setIcon(App_Icon(s.icon));
        b->setIconSize(QSize(24, 24));
        b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        b->setAutoRaise(true);
        b->setMinimumWidth(64);
        bl->addWidget(b);
    }
    bl->addStretch(1);
    return bar;
}

// A page: its tool bar over a splitter that fills the rest. Returns the splitter.
QSplitter* Page_WithSplitter(QWidget* page, const char* name, const char* barName, std::span<const TToolButton> tools,
                             const char* splitName) {
    page->setObjectName(name);
    auto* l = new QVBoxLayout(page);
    l->setContentsMargins(0, 0, 0, 0);
    l->setSpacing(2);
    l->addWidget(Tool_Bar(page, barName, tools));
    auto* split = new QSplitter(Qt::Horizontal, page);
    split->setObjectName(splitName);
    split->setChildrenCollapsible(false);
    l->addWidget(split, 1);
    return split;
}

// Puts the two panes into split with their stretch factors and first widths.
void Fill_Splitter(QSplitter* split, QWidget* left, QWidget* right, int stretchLeft, int stretchRight,
                   const QList<int>& widths) {
    split->addWidget(left);
    split->addWidget(right);
    split->setStretchFactor(0, stretchLeft);
    split->setStretchFactor(1, stretchRight);
    split->setSizes(widths);
}

} // namespace

TForm1::TForm1(const std::string& programFolder, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint), programFolder_(programFolder) {
    setObjectName("Form1");
    // Before any control is made: Qt names its own parts (a tab bar's scroll
    // buttons) when it makes them.
    Use_QtChinese(programFolder_, Read_LanguageSetting(Language_SettingsFile(programFolder_)) != 1);
    setAcceptDrops(true); // image files dropped on the window are opened as sources
    setWindowTitle(U("QRV 视频恢复"));
    setWindowIcon(App_Icon("logo_window"));
    QFont f = font();
    f.setFamilies({"Tahoma", "Noto Sans CJK SC", "Noto Sans", "DejaVu Sans"});
    f.setPointSize(9);
    setFont(f);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);

    auto* outer = new QVBoxLayout(this);
    // The edges and corners resize the window: a thin margin around its
    // content where the mouse reaches the window itself.
    outer->setContentsMargins(kResizeMargin, kResizeMargin, kResizeMargin, kResizeMargin);
    setMouseTracking(true);
    pnl1_ = new QWidget(this);
    pnl1_->setObjectName("pnl1");
    // The content keeps the arrow whatever resize cursor the margin shows.
    pnl1_->setCursor(Qt::ArrowCursor);
    outer->addWidget(pnl1_);

    auto* main = new QVBoxLayout(pnl1_);
    main->setContentsMargins(0, 0, 0, 0);
    main->setSpacing(0);
    Build_TitleBar(pnl1_);
    main->addWidget(pnlMainCurrent_);

    auto* body = new QHBoxLayout;
    body->setContentsMargins(0, 0, 0, 0);
    body->setSpacing(0);
    body->addWidget(Build_LeftColumn(pnl1_));
    auto* centre = new QVBoxLayout;
    centre->setContentsMargins(4, 4, 4, 2);
    centre->setSpacing(4);
    pgc1_ = new QTabWidget(pnl1_);
    pgc1_->setObjectName("pgc1");
    pgc1_->addTab(Build_SourcesPage(), U("选择磁盘(或者镜像文件)"));
    pgc1_->addTab(Build_ResultsPage(), U("查看结果"));
    pgc1_->tabBar()->hide(); // the left column chooses the page
    pgc1_->setDocumentMode(true);
    centre->addWidget(pgc1_, 1);
    centre->addWidget(Build_LogGroup(pnl1_));
    body->addLayout(centre, 1);
    main->addLayout(body, 1);
    main->addWidget(Build_StatusBar(pnl1_));

    Build_Menus();
    Wire_Commands();

    resize(1188, 601);
    if (QScreen* s = QGuiApplication::primaryScreen())
        move(s->availableGeometry().center() - rect().center());

    Form_Create();
    // The other windows come after the main window, which has read the
    // interface language they translate themselves into.
    form2_ = new TForm2(this);
    form2_->Set_Op(runningOp_);
    form3_ = new TForm3(this);
    form4_ = new TForm4(this);
    form6_ = new TForm6(this);
    form7_ = new TForm7(form3_);
    Set_RegionDialog(form4_);
    dispatcher_ =
        std::make_unique<TDispatcherScope>(this, [this](const TUiMessage& m) { Handle_UIMessage(m); });
    // The settings file is kept off the media the window's sessions read.
    Set_SettingsGuard([this] { return Session_Sources(); });
}

TForm1::~TForm1() {
    Set_SettingsGuard({});
    Shut_Down();
}

void TForm1::Build_TitleBar(QWidget* parent) {
    pnlMainCurrent_ = new QFrame(parent);
    pnlMainCurrent_->setObjectName("pnlMainCurrent");
    pnlMainCurrent_->setFixedHeight(30);
    pnlMainCurrent_->setStyleSheet(kTitleStyle);
    auto* l = new QHBoxLayout(pnlMainCurrent_);
    l->setContentsMargins(6, 0, 0, 0);
    l->setSpacing(4);
    auto* img4 = new QLabel(pnlMainCurrent_);
    img4->setObjectName("img4");
    img4->setPixmap(App_Icon("logo").pixmap(22, 22));
    pnlMainCapiton_ = new QLabel(windowTitle(), pnlMainCurrent_);
    pnlMainCapiton_->setObjectName("pnlMainCapiton");
    l->addWidget(img4);
    l->addWidget(pnlMainCapiton_, 1);
    auto titleButton = [&](const char* name, const char* caption, const char* icon, const char* hint) {
        auto* b = new QToolButton(pnlMainCurrent_);
        b->setObjectName(name);
        if (caption) b->setText(U(caption));
        b->setIcon(App_Icon(icon));
        b->setIconSize(QSize(16, 16));
        b->setToolTip(U(hint));
        b->setToolButtonStyle(caption ? Qt::ToolButtonTextBesideIcon : Qt::ToolButtonIconOnly);
        b->setFixedHeight(30);
        b->setFocusPolicy(Qt::NoFocus);
        l->addWidget(b);
        return b;
    };
    btnMainMenu0_ = titleButton("btnMainMenu0", "帮助", "title_help", "帮助");
    btnMin_ = titleButton("btnMin", nullptr, "minimize", "最小化");
    btnMax_ = titleButton("btnMax", nullptr, "maximize", "最大化");
    btnClose_ = titleButton("btnClose", nullptr, "close", "关闭");
    btnMin_->setFixedWidth(40);
    btnMax_->setFixedWidth(40);
    btnClose_->setFixedWidth(40);
    pnlMainCurrent_->installEventFilter(this);
    pnlMainCapiton_->installEventFilter(this);
}

QWidget* TForm1::Build_LeftColumn(QWidget* parent) {
    auto* left = new QFrame(parent);
    left->setObjectName("pnlLeft");
    left->setFixedWidth(165);
    left->setStyleSheet(kLeftStyle);
    auto* l = new QVBoxLayout(left);
    l->setContentsMargins(0, 0, 0, 0);
    l->setSpacing(0);
    auto command = [&](TCategoryPanel* group, const char* name, const char* caption, const char* icon) {
        auto* b = new QToolButton(group);
        b->setObjectName(name);
        b->setText(U(caption));
        b->setIcon(App_Icon(icon));
        b->setIconSize(QSize(20, 20));
        b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        b->setProperty("qrvCommand", true);
        group->Add(b);
        return b;
    };
    auto* scan = new TCategoryPanel(U("扫描/恢复(Scan)"), left);
    scan->setObjectName("ctgrypnlScan");
    btnSel_ = command(scan, "btnSel", "选择磁盘", "select_disk");
    btnView_ = command(scan, "btnView", "查看结果", "results");
    auto* help = new TCategoryPanel(U("帮助(Help)"), left);
    help->setObjectName("ctgrypnlHelp");
    btn5_ = command(help, "btn5", "关于软件", "about");
    btn2_ = command(help, "btn2", "使用方法", "help");
    btnHome_ = command(help, "btnHome", "访问网站", "website");
    btnQQ_ = command(help, "btnQQ", "界面语言", "language");
    // There is no maker's website to visit in this build.
    btnHome_->setVisible(false);
    l->addWidget(scan);
    l->addWidget(help);
    l->addStretch(1);
    return left;
}

QWidget* TForm1::Build_SourcesPage() {
    auto* ts1 = new QWidget;
    QSplitter* split = Page_WithSplitter(ts1, "ts1", "pnlToolSources", kSourcesTools, "spl1");
    Build_SourceTree(split);

    pgc2_ = new QTabWidget(split);
    pgc2_->setObjectName("pgc2");
    lvHDDAttribute_ = new QTreeWidget;
    lvHDDAttribute_->setObjectName("lvHDDAttribute");
    Setup_ListView(lvHDDAttribute_);
    Setup_Columns(lvHDDAttribute_, {{"名称", 150}, {"值", 260}});
    lvHDDAttribute_->header()->setStretchLastSection(true);
    pgc2_->addTab(lvHDDAttribute_, U("属性"));
    pgc2_->addTab(Build_HexTab(), U("HEX值"));

    Fill_Splitter(split, vrtlstrngtr1_, pgc2_, 1, 1, {455, 555});
    return ts1;
}

void TForm1::Build_SourceTree(QSplitter* split) {
    vrtlstrngtr1_ = new QTreeWidget(split);
    vrtlstrngtr1_->setObjectName("vrtlstrngtr1");
    Setup_Columns(vrtlstrngtr1_, {{"磁盘/镜像文件", 200}, {"卷标/编号", 90}, {"文件系统", 78}, {"容量", 78}});
    vrtlstrngtr1_->header()->setDefaultAlignment(Qt::AlignCenter);
    vrtlstrngtr1_->header()->setSectionsMovable(true);
    vrtlstrngtr1_->setSelectionBehavior(QAbstractItemView::SelectRows);
    vrtlstrngtr1_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    vrtlstrngtr1_->setIconSize(QSize(16, 16));
    vrtlstrngtr1_->setToolTip(U("选择要扫描的对象，点击右键进行扫描!"));
    vrtlstrngtr1_->setContextMenuPolicy(Qt::CustomContextMenu);
}

QWidget* TForm1::Build_HexTab() {
    auto* hexTab = new QWidget;
    hexTab->setObjectName("tsHex");
    auto* hl = new QVBoxLayout(hexTab);
    hl->setContentsMargins(2, 2, 2, 2);
    hl->setSpacing(2);
    hl->addLayout(Build_HexNavigation(hexTab));
    pnl32_ = new QFrame(hexTab);
    pnl32_->setObjectName("pnl32");
    pnl32_->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    auto* pl = new QVBoxLayout(pnl32_);
    pl->setContentsMargins(0, 0, 0, 0);
    // The hex display: read-only rows of 16 bytes in a fixed-pitch font, with
    // scroll bars, caret and selection.
    hexView_ = new QPlainTextEdit(pnl32_);
    hexView_->setObjectName("hexView");
    hexView_->setReadOnly(true);
    hexView_->setLineWrapMode(QPlainTextEdit::NoWrap);
    hexView_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSize(8);
    hexView_->setFont(mono);
    hexView_->setFrameStyle(QFrame::NoFrame);
    pl->addWidget(hexView_);
    hl->addWidget(pnl32_, 1);
    pnl30_ = new QLabel(hexTab);
    pnl30_->setObjectName("pnl30");
    pnl30_->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    hl->addWidget(pnl30_);
    return hexTab;
}

QHBoxLayout* TForm1::Build_HexNavigation(QWidget* hexTab) {
    auto* nav = new QHBoxLayout;
    auto* btn15 = new QPushButton("<<", hexTab);
    btn15->setObjectName("btn15");
    btn15->setToolTip(U("上一扇区"));
    btn15->setFixedWidth(36);
    edtSec_ = new QLineEdit(hexTab);
    edtSec_->setObjectName("edtSec");
    edtSec_->setToolTip(U("输入要跳转的扇区并确认"));
    edtSec_->setAlignment(Qt::AlignCenter);
    edtSec_->setFixedWidth(140);
    // A sector number: digits only; Enter jumps as the button does.
    edtSec_->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), edtSec_));
    auto* btnJump = new QPushButton(U("跳转"), hexTab);
    btnJump->setObjectName("btnJump");
    auto* btn20 = new QPushButton(">>", hexTab);
    btn20->setObjectName("btn20");
    btn20->setToolTip(U("下一扇区"));
    btn20->setFixedWidth(36);
    auto* lbl2 = new QLabel(U("总扇区:"), hexTab);
    lbl2->setObjectName("lbl2");
    lblTotalsec_ = new QLabel(hexTab);
    lblTotalsec_->setObjectName("lblTotalsec");
    auto* lbl3 = new QLabel(U("每扇区字节:"), hexTab);
    lbl3->setObjectName("lbl3");
    lblPerSecbyte_ = new QLabel(hexTab);
    lblPerSecbyte_->setObjectName("lblPerSecbyte");
    for (QWidget* w : std::initializer_list<QWidget*>{btn15, edtSec_, btnJump, btn20})
        nav->addWidget(w);
    nav->addSpacing(12);
    for (QWidget* w : std::initializer_list<QWidget*>{lbl2, lblTotalsec_})
        nav->addWidget(w);
    nav->addSpacing(12);
    for (QWidget* w : std::initializer_list<QWidget*>{lbl3, lblPerSecbyte_})
        nav->addWidget(w);
    nav->addStretch(1);
    return nav;
}

QWidget* TForm1::Build_ResultsPage() {
    auto* ts2 = new QWidget;
    QSplitter* split = Page_WithSplitter(ts2, "ts2", "pnlToolResults", kResultsTools, "spl2");
    Build_ResultsList(split);
    QWidget* preview = Build_PreviewPanel(split);

    Fill_Splitter(split, lvScanResult_, preview, 3, 2, {700, 310});
    return ts2;
}

void TForm1::Build_ResultsList(QSplitter* split) {
    lvScanResult_ = new QTreeView(split);
    lvScanResult_->setObjectName("lvScanResult");
    lvScanResult_->setRootIsDecorated(false);
    lvScanResult_->setItemsExpandable(false);
    lvScanResult_->setSelectionBehavior(QAbstractItemView::SelectRows);
    // Several rows may be selected (shift, control) and checked together with the space key.
    lvScanResult_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lvScanResult_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvScanResult_->setUniformRowHeights(true);
    lvScanResult_->installEventFilter(this);
    lvScanResult_->setIconSize(QSize(16, 16));
    results_ = new TResultsTable(this);
    const QString legend =
        U("级别0(绿色)重组效果非常好;级别1(蓝色)重组效果好;级别2(黄色)重组效果一般;级别3(红色)重组效果差");
    results_->Set_Hint(legend);
    lvScanResult_->setModel(results_);
    lvScanResult_->setToolTip(legend);
    // Widths hold a full date and the English captions at the window's font.
    // The first column holds the check box and the level mark before the
    // number: room for six digits.
    const int widths[TResultsTable::kColumns] = {
        48 + lvScanResult_->fontMetrics().horizontalAdvance("0000000"),
        50,
        130 + TThumbnails::kWidth + 6,
        150,
        80,
        90,
        115,
        0};
    for (int c = 0; c < TResultsTable::kColumns; ++c)
        lvScanResult_->setColumnWidth(c, widths[c]);
    lvScanResult_->header()->setStretchLastSection(false);
    lvScanResult_->header()->setSectionsClickable(true);
    lvScanResult_->header()->setSortIndicatorShown(true);
    lvScanResult_->header()->setSortIndicator(-1, Qt::AscendingOrder);
    // The result index: the link back to the result, never shown.
    lvScanResult_->setColumnHidden(TResultsTable::kIndexColumn, true);
    lvScanResult_->setContextMenuPolicy(Qt::CustomContextMenu);
    // Styling the items takes the style's own selection painting away: the
    // selected row gets its colours here, focused or not.
    lvScanResult_->setStyleSheet(
        "QTreeView::item { border-right: 1px solid #e2e6ea; border-bottom: 1px solid #e2e6ea; }"
        "QTreeView::item:selected { background: #cde3f7; color: #000000; }");
}

QWidget* TForm1::Build_PreviewPanel(QSplitter* split) {
    auto* preview = new QFrame(split);
    preview->setObjectName("pnlPreview");
    auto* pv = new QVBoxLayout(preview);
    pv->setContentsMargins(2, 0, 0, 0);
    pv->setSpacing(2);
    pnl38_ = new TVideoPanel(Player_Caption(), preview);
    pnl38_->setObjectName("pnl38");
    pnl38_->setMinimumSize(240, 160);
    pv->addWidget(pnl38_, 1);
    preview_ = new TPreviewPlayer(pnl38_, this);
    auto* controls = new QHBoxLayout;
    controls->setSpacing(4);
    auto playButton = [&](const char* name, const char* caption, const char* icon) {
        auto* b = new QToolButton(preview);
        b->setObjectName(name);
        b->setText(U(caption));
        b->setIcon(App_Icon(icon));
        b->setIconSize(QSize(16, 16));
        b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        controls->addWidget(b);
        return b;
    };
    playButton("btnPlayStart", "开始", "play");
    playButton("btnPlayPause", "暂停", "pause");
    playButton("btnPlayStop", "停止", "play_stop");
    chkMute_ = new QCheckBox(U("静音"), preview);
    chkMute_->setObjectName("chkMute");
    controls->addWidget(chkMute_);
    controls->addStretch(1);
    lblStatus_ = new QLabel("00:00:00.000", preview);
    lblStatus_->setObjectName("lblStatus");
    controls->addWidget(lblStatus_);
    // The length of the recording playing, next to the position.
    lblDuration_ = new QLabel("/ 00:00:00.000", preview);
    lblDuration_->setObjectName("lblDuration");
    controls->addWidget(lblDuration_);
    // The seek bar: milliseconds of the recording playing; a click or a drag
    // plays from there.
    sldPosition_ = new TSeekSlider(preview);
    sldPosition_->setObjectName("sldPosition");
    sldPosition_->setToolTip(U("播放位置"));
    sldPosition_->setRange(0, 0);
    sldPosition_->setEnabled(false);
    pv->addWidget(sldPosition_);
    pv->addLayout(controls);
    return preview;
}

QWidget* TForm1::Build_LogGroup(QWidget* parent) {
    auto* group = new QGroupBox(U("日志"), parent);
    group->setObjectName("grpLog");
    group->setFixedHeight(132);
    auto* l = new QVBoxLayout(group);
    l->setContentsMargins(2, 2, 2, 2);
    lvlog_ = new QTreeWidget(group);
    lvlog_->setObjectName("lvlog");
    Setup_ListView(lvlog_);
    Setup_Columns(lvlog_, {{"类型", 130}, {"日期", 130}, {"描述", 700}});
    lvlog_->headerItem()->setTextAlignment(1, Qt::AlignCenter);
    lvlog_->header()->setStretchLastSection(true);
    lvlog_->setContextMenuPolicy(Qt::CustomContextMenu);
    l->addWidget(lvlog_);
    return group;
}

QWidget* TForm1::Build_StatusBar(QWidget* parent) {
    auto* pnl2 = new QFrame(parent);
    pnl2->setObjectName("pnl2");
    pnl2->setFixedHeight(26);
    pnl2->setStyleSheet("#pnl2 { background: #eef3f9; border-top: 1px solid #c8d4e3; }");
    auto* l = new QHBoxLayout(pnl2);
    l->setContentsMargins(6, 0, 6, 0);
    l->setSpacing(6);
    auto* btnCheckUP = new QToolButton(pnl2);
    btnCheckUP->setObjectName("btnCheckUP");
    btnCheckUP->setText(U("检查更新"));
    btnCheckUP->setIcon(App_Icon("update"));
    btnCheckUP->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    btnCheckUP->setAutoRaise(true);
    // There is no maker's update server in this build.
    btnCheckUP->setVisible(false);
    l->addWidget(btnCheckUP);
    auto* lblVer = new QLabel(U("    程序版本:"), pnl2);
    lblVer->setObjectName("lblVersionCaption");
    auto* lblVersion = new QLabel(kProgramVersion, pnl2);
    lblVersion->setObjectName("lblVersion");
    l->addWidget(lblVer);
    l->addWidget(lblVersion);
    l->addSpacing(24);
    pnl25_ = new QLabel(pnl2);
    pnl25_->setObjectName("pnl25");
    l->addWidget(pnl25_, 1);
    btnOpenFolder_ = new QToolButton(pnl2);
    btnOpenFolder_->setObjectName("btnOpenFolder");
    btnOpenFolder_->setText(U("打开输出文件夹"));
    btnOpenFolder_->setAutoRaise(true);
    btnOpenFolder_->setVisible(false); // until an export or imaging has written somewhere
    l->addWidget(btnOpenFolder_);
    auto* btnMore = new QToolButton(pnl2);
    btnMore->setObjectName("btnMore");
    btnMore->setText(U("点击查看更多专业恢复软件!"));
    btnMore->setAutoRaise(true);
    // No maker's product page either.
    btnMore->setVisible(false);
    l->addWidget(btnMore);
    return pnl2;
}

void TForm1::Build_Menus() {
    auto item = [this](QMenu* menu, const char* name, const char* caption) {
        QAction* a = menu->addAction(U(caption));
        a->setObjectName(name);
        return a;
    };
    pm1_ = new QMenu(this);
    pm1_->setObjectName("pm1");
    item(pm1_, "N25", "扫描(&D)");
    item(pm1_, "N26", "停止(&E)");
    pm1_->addSeparator();
    item(pm1_, "N2", "加载扫描结果(&Q)");
    pm1_->addSeparator();
    item(pm1_, "N28", "打开镜像(&F)");
    item(pm1_, "N29", "创建镜像(&G)");
    item(pm1_, "N4", "创建区域(&X)");
    pm1_->addSeparator();
    item(pm1_, "N6", "删除选项(&I)");
    pm1_->addSeparator();
    item(pm1_, "HEX1", "查看HEX值(&R)");

    pmLog_ = new QMenu(this);
    pmLog_->setObjectName("pmLog");
    item(pmLog_, "N3", "保存日志");
    item(pmLog_, "N5", "清空日志");

    pm2_ = new QMenu(this);
    pm2_->setObjectName("pm2");
    item(pm2_, "N9", "保存数据(&S)");
    item(pm2_, "NReport", "导出报告");
    pm2_->addSeparator();
    item(pm2_, "N10", "全部选择(&A)");
    item(pm2_, "N11", "反向选择(&T)");
    item(pm2_, "N12", "取消全选(&F)");

    pmSter0_ = new QMenu(this);
    pmSter0_->setObjectName("pmSter0");
    item(pmSter0_, "N17", "帮助&");
    pmSter0_->addSeparator();
    QAction* n14 = item(pmSter0_, "N14", "检查更新&");
    QAction* sep14 = pmSter0_->addSeparator();
    QAction* menuItem3 = item(pmSter0_, "MenuItem3", "访问官网&");
    QAction* sep3 = pmSter0_->addSeparator();
    // The update check and the maker's website have no server in this build.
    for (QAction* a : {n14, sep14, menuItem3, sep3})
        a->setVisible(false);
    auto* languages = new QMenu(U("界面语言&"), pmSter0_);
    languages->setObjectName("N24menu");
    item(languages, "English1", "English");
    item(languages, "N32", "简体中文");
    N24_ = pmSter0_->addMenu(languages);
    N24_->setObjectName("N24");
    N24_->setIcon(Language_Image(9));
    pmSter0_->addSeparator();
    item(pmSter0_, "MenuItem5", "关于软件&");
}

void TForm1::Wire_Commands() {
    Wire_Buttons();
    Wire_SourcesPage();
    Wire_ResultsPage();
    connect(lvlog_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { pmLog_->popup(lvlog_->viewport()->mapToGlobal(pos)); });
    connect(lvlog_, &QTreeWidget::itemChanged, this, [this] { Select_LastLogRow(); });
}

void TForm1::Wire_Buttons() {
    // Every command of a button or a menu item, by object name.
    using TSlot = void (TForm1::*)();
    static constexpr std::pair<const char*, TSlot> kCommands[] = {
        {"btnSel", &TForm1::btnSelClick},
        {"btnView", &TForm1::btnViewClick},
        {"btn5", &TForm1::Show_About},
        {"btn2", &TForm1::Open_Help},
        {"btnHome", &TForm1::btnHomeClick},
        {"btnQQ", &TForm1::btnQQClick},
        {"btnMainMenu0", &TForm1::btnMainMenu0Click},
        {"btnMin", &TForm1::btnMinClick},
        {"btnMax", &TForm1::btnMaxClick},
        {"btnClose", &TForm1::btnCloseClick},
        {"btnCheckUP", &TForm1::btnCheckUPClick},
        {"btnOpenFolder", &TForm1::btnOpenFolderClick},
        {"btnMore", &TForm1::btnMoreClick},
        {"btnRef", &TForm1::btnRefClick},
        {"btnscan", &TForm1::btnscanClick},
        {"btnstop", &TForm1::btnstopClick},
        {"btnOpenImg", &TForm1::btnOpenImgClick},
        {"btnToimage", &TForm1::btnToimageClick},
        {"btnHex", &TForm1::btnHexClick},
        {"btnLoad", &TForm1::btnLoadClick},
        {"btnCreateRegion", &TForm1::btnCreateRegionClick},
        {"btnJump", &TForm1::btnJumpClick},
        {"btn15", &TForm1::Show_PreviousSector},
        {"btn20", &TForm1::Show_NextSector},
        {"btnsave", &TForm1::btnsaveClick},
        {"btnSelAll", &TForm1::btnSelAllClick},
        {"btnSelCancel", &TForm1::btnSelCancelClick},
        {"btnSelFan", &TForm1::btnSelFanClick},
        {"btnStopSave", &TForm1::btnStopSaveClick},
        {"btnSerach", &TForm1::btnSerachClick},
        {"btnPlayStart", &TForm1::btnPlayStartClick},
        {"btnPlayPause", &TForm1::btnPlayPauseClick},
        {"btnPlayStop", &TForm1::btnPlayStopClick},
        {"chkMute", &TForm1::chkMuteClick},
        // Menu items that run a button's command run the button's handler.
        {"N25", &TForm1::btnscanClick},
        // N26 ("停止(&E)" of the tree menu) runs nothing.
        {"N2", &TForm1::btnLoadClick},
        {"N28", &TForm1::btnOpenImgClick},
        {"N29", &TForm1::btnToimageClick},
        {"N4", &TForm1::btnCreateRegionClick},
        {"N6", &TForm1::N6Click},
        {"HEX1", &TForm1::btnHexClick},
        {"N3", &TForm1::N3Click},
        {"N5", &TForm1::N5Click},
        {"N9", &TForm1::btnsaveClick},
        {"NReport", &TForm1::NReportClick},
        {"N10", &TForm1::btnSelAllClick},
        {"N11", &TForm1::btnSelFanClick},
        {"N12", &TForm1::N12Click},
        {"N17", &TForm1::Open_Help},
        {"N14", &TForm1::btnCheckUPClick},
        {"MenuItem3", &TForm1::btnHomeClick},
        {"English1", &TForm1::English1Click},
        {"N32", &TForm1::N32Click},
        {"MenuItem5", &TForm1::Show_About},
    };
    for (const auto& [name, slot] : kCommands) {
        if (auto* b = findChild<QAbstractButton*>(name))
            connect(b, &QAbstractButton::clicked, this, slot);
        else if (auto* a = findChild<QAction*>(name))
            connect(a, &QAction::triggered, this, slot);
    }
}

void TForm1::Wire_SourcesPage() {
    connect(vrtlstrngtr1_, &QTreeWidget::itemClicked, this, [this] { vrtlstrngtr1NodeClick(); });
    connect(edtSec_, &QLineEdit::returnPressed, this, &TForm1::btnJumpClick);
    connect(vrtlstrngtr1_, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        // The node under the mouse becomes the focused one, as a left click makes it.
        if (QTreeWidgetItem* it = vrtlstrngtr1_->itemAt(pos)) {
            vrtlstrngtr1_->setCurrentItem(it);
            vrtlstrngtr1NodeClick();
        }
        pm1_->popup(vrtlstrngtr1_->viewport()->mapToGlobal(pos));
    });
    // The drop-down of "打开镜像" lists the recent files when it opens.
    auto* openImage = findChild<QToolButton*>("btnOpenImg");
    pmRecent_ = new QMenu(openImage);
    pmRecent_->setObjectName("pmRecent");
    openImage->setMenu(pmRecent_);
    openImage->setPopupMode(QToolButton::MenuButtonPopup);
    connect(pmRecent_, &QMenu::aboutToShow, this, &TForm1::Fill_RecentMenu);
}

void TForm1::Wire_ResultsPage() {
    // A click anywhere in the list (on a row or beside the rows), handled
    // once the list has applied it (selection, check mark).
    lvScanResult_->viewport()->installEventFilter(this);
    connect(results_, &TResultsTable::Check_Toggled, this, [this] { checkClicked_ = true; });
    // Marks changed by a search or an export (on their workers) update the totals too.
    connect(results_, &TResultsTable::Checks_Repainted, this, [this] {
        if (results_->rowCount() > 0) Show_Totals();
    });
    connect(lvScanResult_->header(), &QHeaderView::sectionClicked, this, &TForm1::lvScanResultColumnClick);
    connect(lvScanResult_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { pm2_->popup(lvScanResult_->viewport()->mapToGlobal(pos)); });
    connect(preview_, &TPreviewPlayer::Position, this, &TForm1::fplyr1Position);
    connect(static_cast<TSeekSlider*>(sldPosition_), &TSeekSlider::Seek_Requested, this,
            &TForm1::sldPositionSeek);
    connect(preview_, &TPreviewPlayer::Ended, this, [this](bool failed) {
        // A sample that cannot be decoded leaves the idle panel; one played
        // to its end keeps its last picture.
        if (!failed) return;
        pnl38_->Clear_Frame();
        pnl38_->setText(Player_Caption());
    });
}

void TForm1::Form_Create() {
    lblTotalsec_->clear();
    lblPerSecbyte_->clear();
    edtSec_->clear();
    btnSelClick();
    pgc1_->setCurrentIndex(0);

    std::error_code ec;
    std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
    if (!ec) temp = std::filesystem::weakly_canonical(temp, ec);
    tempFolder_ = ec || temp.empty() ? std::string("/tmp") : temp.string();
    results_->Set_ScratchFolder(tempFolder_);

    N24_->setIcon(Language_Image(9));
    if (Program_LanguageStart(programFolder_) == 1) N24_->setIcon(Language_Image(10));
    Translate_Form(this);
    pnl38_->setText(Player_Caption());
    // Named here: the panel's caption before it is no name for the bar.
    sldPosition_->setAccessibleName(U(Tr("播放位置")));
}

void TForm1::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    if (shown_) return;
    shown_ = true;
    btnRefClick();
    pgc2_->setCurrentIndex(0);
}

namespace {

// The local files a drag carries; empty when it carries anything else too.
QStringList Dropped_Files(const QMimeData* data) {
    QStringList files;
    if (!data || !data->hasUrls()) return files;
    for (const QUrl& url : data->urls()) {
        if (!url.isLocalFile()) return {};
        files << url.toLocalFile();
    }
    return files;
}

} // namespace

void TForm1::dragEnterEvent(QDragEnterEvent* e) {
    if (!Dropped_Files(e->mimeData()).isEmpty()) e->acceptProposedAction();
}

void TForm1::dropEvent(QDropEvent* e) {
    const QStringList files = Dropped_Files(e->mimeData());
    if (files.isEmpty()) return;
    e->acceptProposedAction();
    Open_ImageFiles(files);
}

void TForm1::closeEvent(QCloseEvent* e) {
    Shut_Down();
    QWidget::closeEvent(e);
}

void TForm1::Shut_Down() {
    if (shutDown_) return;
    shutDown_ = true;
    // A running operation is asked to stop; while it winds down its messages
    // are still handled here, so it never waits on a window that has stopped
    // listening.
    if (!workers_.Idle()) {
        runningOp_->StopFlag = true;
        workers_.Wait_All([] {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(5);
        });
    }
    // The workers' last events are handled before the window stops listening.
    while (dispatcher_ && dispatcher_->Dispatcher().Pending() > 0)
        QCoreApplication::sendPostedEvents(this);
    // The sample builder's last message may have started a playback.
    preview_->Stop();
    dispatcher_.reset();
    form2_->Hide_Progress();
    if (const auto session = Shown_Session()) session->Clear_Records();
    if (scanning_) scanning_->Clear_Records();
    Set_LanguageTable(TLanguageTable());
}

bool TForm1::eventFilter(QObject* watched, QEvent* e) {
    if (lvScanResult_ && watched == lvScanResult_ && e->type() == QEvent::KeyPress) {
        const auto* ke = static_cast<QKeyEvent*>(e);
        if (ke->key() == Qt::Key_Space && ke->modifiers() == Qt::NoModifier) {
            Toggle_ResultChecks();
            return true;
        }
        return false;
    }
    if (lvScanResult_ && watched == lvScanResult_->viewport()) {
        if (e->type() == QEvent::MouseButtonPress) checkClicked_ = false;
        if (e->type() == QEvent::MouseButtonRelease &&
            static_cast<QMouseEvent*>(e)->button() == Qt::LeftButton)
            QMetaObject::invokeMethod(this, &TForm1::Results_Clicked, Qt::QueuedConnection);
        return false;
    }
    const bool mouse = e->type() == QEvent::MouseButtonPress || e->type() == QEvent::MouseButtonRelease ||
                       e->type() == QEvent::MouseButtonDblClick || e->type() == QEvent::MouseMove;
    if (mouse && (watched == pnlMainCurrent_ || watched == pnlMainCapiton_)) {
        // Only mouse events are mouse events: the title bar sees every other kind too.
        auto* me = static_cast<QMouseEvent*>(e);
        switch (e->type()) {
        case QEvent::MouseButtonDblClick:
            if (me->button() != Qt::LeftButton) break;
            btnMaxClick();
            return true;
        case QEvent::MouseButtonPress:
            if (me->button() != Qt::LeftButton) break;
            // The window moves once the mouse moves with the button held, so
            // that a double click still reaches the title bar.
            dragging_ = true;
            dragOffset_ = me->globalPosition().toPoint() - frameGeometry().topLeft();
            return true;
        case QEvent::MouseMove:
            if (dragging_ && (me->buttons() & Qt::LeftButton)) {
                if (isMaximized()) return true;
                // The window system moves the window (X11 and Wayland alike);
                // where it cannot, the window follows the mouse itself.
                if (windowHandle() && windowHandle()->startSystemMove()) {
                    dragging_ = false;
                    return true;
                }
                move(me->globalPosition().toPoint() - dragOffset_);
                return true;
            }
            break;
        case QEvent::MouseButtonRelease:
            if (dragging_ && me->button() == Qt::LeftButton) {
                dragging_ = false;
                return true;
            }
            break;
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, e);
}

bool TForm1::Start_Worker(const std::string& name, std::function<void()> body, TWorkerKind kind,
                          std::shared_ptr<TOpState> op) {
    if (kind != TWorkerKind::Operation) return workers_.Start(name, std::move(body), kind);
    if (Operation_Running()) return false;
    // A new operation starts unstopped, whatever stopped the one before it.
    if (!op) op = toolOp_;
    op->StopFlag = false;
    runningOp_ = op;
    form2_->Set_Op(op);
    return workers_.Start(
        name,
        [op, body = std::move(body)] {
            const TOpBinding reporting(*op);
            body();
        },
        kind);
}

std::vector<std::string> TForm1::Session_Sources() const {
    std::vector<std::string> out;
    if (const auto shown = Shown_Session()) out.push_back(shown->SourcePath());
    if (scanning_) out.push_back(scanning_->SourcePath());
    return out;
}

void TForm1::Begin_Scan(std::shared_ptr<TScanSession> session) {
    scanning_ = std::move(session);
}

void TForm1::Show_Session(std::shared_ptr<TScanSession> session) {
    ++resultsGeneration_; // the list is another session's now
    results_->Shared_Model()->Set_Session(std::move(session));
}

void TForm1::End_Scan(const std::shared_ptr<TScanSession>& session) {
    // A scan that listed nothing still replaces what the list showed.
    if (!session || scanning_ != session) return;
    scanning_.reset();
    Clear_Results();
    Show_Session(session);
}

std::shared_ptr<TScanSession> TForm1::Shown_Session() const {
    return results_->Shared_Model()->Session();
}

bool TForm1::Workers_Idle() const {
    // Workers first: a worker posts its last event before it counts as ended.
    if (!workers_.Idle()) return false;
    return !dispatcher_ || dispatcher_->Dispatcher().Pending() == 0;
}

bool TForm1::Start_NextWorker(const std::string& name, std::function<void()> body) {
    return workers_.Start_Next(name, std::move(body));
}

void TForm1::Set_MainEnabled(bool enabled) {
    pnl1_->setEnabled(enabled);
    pgc1_->setEnabled(enabled);
}

// ------------------------------------------------------------------ messages

void TForm1::Handle_UIMessage(const TUiMessage& m) {
    // Status texts and the second gauge's range never arrive here: the
    // progress dialog polls them from the operation state (see TForm2).
    const auto& P = m.P;
    switch (m.MsgType) {
    case MSG_LOG:
        Append_LogRow(P[0], P[1], P[2], m.Severity);
        break;
    case MSG_PROGRESS_START:
        form2_->Progress_Start(m.Number, U(P[1]));
        Set_MainEnabled(false);
        break;
    case MSG_PROGRESS_END:
        Set_MainEnabled(true);
        form2_->Progress_End();
        break;
    case MSG_REGION_DONE:
        if (regionDialog_) regionDialog_->close();
        Set_MainEnabled(true);
        vrtlstrngtr1_->expandAll();
        break;
    case MSG_ADD_ROW:
        results_->Append(m);
        break;
    case MSG_SHOW_RESULTS:
        // The scan has finished (or was stopped) and lists what it found:
        // from here on the list shows its session.
        if (scanning_) {
            Show_Session(scanning_);
            scanning_.reset();
        }
        [[fallthrough]];
    case MSG_VIEW_AFTER_LOAD:
        // The handler runs even while the window is disabled by the operation
        // that sends this, as a click on the button would in the original
        // toolkit; a Qt click on a disabled button does nothing.
        Open_ResultsPage(m.ListedBySender);
        break;
    case MSG_SELECT_ROW:
        if (m.Number >= 0 && m.Number <= std::numeric_limits<int32_t>::max())
            Select_ResultRow(int32_t(m.Number));
        break;
    case MSG_START_PLAY:
        btnPlayStartClick();
        break;
    case MSG_SHOW_GAUGE2:
        form2_->Show_SecondGauge(true);
        form2_->Enable_SecondGauge(true);
        break;
    default:
        break;
    }
}

void TForm1::Append_LogRow(const std::string& kind, const std::string& date, const std::string& text,
                           TSeverity severity) {
    // Warnings (findings about the medium) are marked as errors are.
    const int image = severity == TSeverity::Info ? 5 : 4;
    auto* it = new QTreeWidgetItem({U(kind), U(date), U(text)});
    it->setIcon(0, Small_Image(image));
    it->setData(0, kImageRole, image);
    it->setTextAlignment(1, Qt::AlignCenter);
    lvlog_->addTopLevelItem(it);
    Select_LastLogRow();
}

void TForm1::Select_LastLogRow() {
    const int n = lvlog_->topLevelItemCount();
    if (n == 0) return;
    QTreeWidgetItem* last = lvlog_->topLevelItem(n - 1);
    lvlog_->setCurrentItem(last);
    lvlog_->scrollToItem(last);
}

std::vector<TLogRow> TForm1::Log_Rows() const {
    std::vector<TLogRow> rows;
    rows.reserve(size_t(lvlog_->topLevelItemCount()));
    for (int i = 0; i < lvlog_->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* it = lvlog_->topLevelItem(i);
        rows.push_back({it->text(0).toStdString(), it->text(1).toStdString(), it->text(2).toStdString()});
    }
    return rows;
}

} // namespace qrv::app
