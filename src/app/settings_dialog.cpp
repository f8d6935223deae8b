#include "app/settings_dialog.h"
#include "app/qt_text.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <ctime>
#include <initializer_list>
#include <limits>

#include "app/advanced_dialog.h"
#include "app/dialog_fields.h"
#include "app/icons.h"
#include "app/main_window.h"
#include "app/progress_dialog.h"
#include "app/prompts.h"
#include "app/window_settings.h"
#include "app/scan_start.h"
#include "app/source_checks.h"
#include "app/translate_form.h"
#include "common/language.h"
#include "common/op_state.h"
#include "media/raw_access.h"
#include "platform/output_file.h"
#include "scan/metadata.h"
#include "scan/scan_settings.h"
#include "sources/imaging.h"
#include "sources/source_tree.h"

namespace qrv::app {

namespace {

constexpr int kScanPage = 0;
constexpr int kImagePage = 1;


// A figure of the source that the user may select and copy.
QLabel* Value(QWidget* parent, const char* name) {
    QLabel* l = Value_Label(parent, name, 90);
    l->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return l;
}

QLineEdit* Field(QWidget* parent, const char* name, bool readOnly = false) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(name);
    e->setReadOnly(readOnly);
    return e;
}

// Sector fields wide enough for a disk's last sector.
constexpr int kSectorFieldWidth = 110;

QLabel* Note(QWidget* parent, const char* name, const char* text) {
    auto* l = new QLabel(U(text), parent);
    l->setObjectName(name);
    l->setWordWrap(true);
    l->setStyleSheet("color: #b03a2e;");
    return l;
}

QPushButton* Button(QWidget* parent, const char* name, const char* caption) {
    auto* b = new QPushButton(U(caption), parent);
    b->setObjectName(name);
    return b;
}

// (end - start) x sector size, held at the largest 64-bit value rather than
// wrapping around for absurd typed ranges.
int64_t Range_Bytes(int64_t start, int64_t end, int64_t sectorSize) {
    const __int128 bytes = (__int128(end) - start) * sectorSize;
    if (bytes > std::numeric_limits<int64_t>::max()) return std::numeric_limits<int64_t>::max();
    return bytes < 0 ? 0 : int64_t(bytes);
}

QString Join_Path(const QString& folder, const std::string& name) {
    return folder + (folder.endsWith('/') ? "" : "/") + U(name);
}

} // namespace

TForm3::TForm3(TForm1* main) : QDialog(main), main_(main) {
    setObjectName("Form3");
    setWindowTitle(U("扫描设置"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setModal(false);

    auto* top = new QVBoxLayout(this);
    top->setContentsMargins(8, 8, 8, 8);
    pages_ = new QTabWidget(this);
    pages_->setObjectName("pgcSettings");
    scanPage_ = Build_ScanPage();
    imagePage_ = Build_ImagePage();
    top->addWidget(pages_);
    top->setSizeConstraint(QLayout::SetFixedSize);

    tmr1_ = new QTimer(this);
    tmr1_->setObjectName("tmr1");
    tmr1_->setSingleShot(true);
    tmr1_->setInterval(100);
    connect(tmr1_, &QTimer::timeout, this, &TForm3::tmr1Timer);

    // What the dialog starts with: no date window, universal time.
    chk2_->setChecked(false);
    medtStarData_->setEnabled(false);
    medtEndData_->setEnabled(false);
    rb1_->setChecked(true);
    Translate_Form(this);
    Show_Page(kScanPage);
}

QWidget* TForm3::Build_ScanPage() {
    auto* page = new QWidget(this);
    page->setObjectName("tsScan");
    page->hide();
    auto* v = new QVBoxLayout(page);
    v->addWidget(Build_ScanRange(page));
    v->addWidget(Build_TimeStandard(page));
    v->addWidget(Build_RecoveryType(page));
    v->addWidget(Build_DateWindow(page));
    v->addWidget(Build_ScanResult(page));

    auto* buttons = new QHBoxLayout;
    auto* btn4 = Button(page, "btn4", "高级设置");
    auto* start = Button(page, "btnStartScan", "扫描(&V)");
    auto* cancel = Button(page, "btnScanCacel", "取消(&E)");
    start->setIcon(App_Icon("scan"));
    start->setDefault(true);
    buttons->addWidget(btn4);
    buttons->addStretch(1);
    buttons->addWidget(start);
    buttons->addWidget(cancel);
    v->addLayout(buttons);
    page->setFixedWidth(600);

    connect(btn4, &QPushButton::clicked, this, &TForm3::Open_AdvancedSettings);
    connect(start, &QPushButton::clicked, this, &TForm3::btnStartScanClick);
    connect(cancel, &QPushButton::clicked, this, &TForm3::btnScanCacelClick);
    return page;
}

QGroupBox* TForm3::Build_ScanRange(QWidget* page) {
    auto* range = new QGroupBox(U("扫描范围"), page);
    range->setObjectName("grpScanRange");
    auto* g = new QGridLayout(range);
    edtMediaModel_ = Field(range, "edtMediaModel", true);
    lblFS_ = Value(range, "lblFS");
    cbb1_ = new QComboBox(range);
    cbb1_->setObjectName("cbb1");
    for (const char* s : {"全部扫描", "仅扫描删除空间", "仅扫描已分配空间"})
        cbb1_->addItem(U(s));
    lblcap_ = Value(range, "lblcap");
    lblTolalsec_ = Value(range, "lblTolalsec");
    edtStartSec_ = Sector_Field(range, "edtStartSec", kSectorFieldWidth);
    edtEndSec_ = Sector_Field(range, "edtEndSec", kSectorFieldWidth);
    auto* btn2 = Button(range, "btn2", "默认");
    Place_RangeGrid(g, range,
                    {"存储型号:", "文件系统:", "扫描方式:", "        容量:", "总扇区数:", "起始扇区:", "结束扇区:"},
                    {edtMediaModel_, lblFS_, cbb1_, lblcap_, lblTolalsec_, edtStartSec_, edtEndSec_}, btn2);
    connect(btn2, &QPushButton::clicked, this, &TForm3::Reset_ScanRange);
    return range;
}

QGroupBox* TForm3::Build_TimeStandard(QWidget* page) {
    auto* time = new QGroupBox(U("时间标准(中国标准和国际标准时间有8小时时差,请根据需要选择)"), page);
    time->setObjectName("grpTimeStandard");
    auto* tl = new QHBoxLayout(time);
    rb1_ = new QRadioButton(U("国际标准时间"), time);
    rb1_->setObjectName("rb1");
    rb2_ = new QRadioButton(U("中国标准时间"), time);
    rb2_->setObjectName("rb2");
    tl->addWidget(rb1_);
    tl->addSpacing(24);
    tl->addWidget(rb2_);
    tl->addStretch(1);
    return time;
}

QGroupBox* TForm3::Build_RecoveryType(QWidget* page) {
    auto* type = new QGroupBox(U("恢复类型"), page);
    type->setObjectName("grpRecoveryType");
    auto* yl = new QHBoxLayout(type);
    cbb2_ = new QComboBox(type);
    cbb2_->setObjectName("cbb2");
    cbb2_->setIconSize(QSize(16, 16));
    cbb2_->addItem(App_Icon("camera"), U("类型1:MOV----VANTO凯墨摄像机"));
    cbb2_->addItem(App_Icon("camera"), U("类型2:MP4/MOV----通用(H.264/H.265)"));
    yl->addWidget(cbb2_, 1);
    return type;
}

QGroupBox* TForm3::Build_DateWindow(QWidget* page) {
    auto* dates = new QGroupBox(U("指定日期/时间段扫描"), page);
    dates->setObjectName("grpDateWindow");
    auto* dl = new QGridLayout(dates);
    chk2_ = new QCheckBox(U("点击开启指定日期/时间段:"), dates);
    chk2_->setObjectName("chk2");
    medtStarData_ = Field(dates, "medtStarData");
    medtEndData_ = Field(dates, "medtEndData");
    for (QLineEdit* e : {medtStarData_, medtEndData_}) {
        e->setInputMask("9999-99-99 99:99:99;_");
        e->setMinimumWidth(140);
    }
    medtStarData_->setText("2018-01-01 23:00:00");
    medtEndData_->setText("2018-01-01 23:50:00");
    dl->addWidget(chk2_, 0, 0, 1, 4);
    dl->addWidget(Caption(dates, "起始日期:"), 1, 0);
    dl->addWidget(medtStarData_, 1, 1);
    dl->addWidget(Caption(dates, "结束日期:"), 1, 2);
    dl->addWidget(medtEndData_, 1, 3);
    dl->setColumnStretch(1, 1);
    dl->setColumnStretch(3, 1);
    connect(chk2_, &QCheckBox::toggled, this, &TForm3::chk2Click);
    return dates;
}

QGroupBox* TForm3::Build_ScanResult(QWidget* page) {
    auto* result = new QGroupBox(U("扫描结果"), page);
    result->setObjectName("grpScanResult");
    auto* rl = new QGridLayout(result);
    chk1_ = new QCheckBox(U("保存扫描结果："), result);
    chk1_->setObjectName("chk1");
    edtScanResultSavepath_ = Field(result, "edtScanResultSavepath", true);
    btnBrows_ = Button(result, "btnBrows", "...");
    btnBrows_->setFixedWidth(32);
    rl->addWidget(chk1_, 0, 0);
    rl->addWidget(edtScanResultSavepath_, 0, 1);
    rl->addWidget(btnBrows_, 0, 2);
    rl->addWidget(
        Note(result, "lbl8",
             "保存扫描结果后，可以随时加载这样可以有效避免多次扫描的麻烦。须要注意的是请把路径设置到另一"
             "个磁盘，这样可以避免覆盖！"),
        1, 0, 1, 3);
    rl->setColumnStretch(1, 1);
    connect(btnBrows_, &QPushButton::clicked, this, &TForm3::btnBrowsClick);
    connect(chk1_, &QCheckBox::toggled, this, &TForm3::chk1Click);
    return result;
}

QWidget* TForm3::Build_ImagePage() {
    auto* page = new QWidget(this);
    page->setObjectName("tsImage");
    page->hide();
    auto* v = new QVBoxLayout(page);
    v->addWidget(Build_ImageRange(page));
    v->addWidget(Build_ImageTarget(page));
    v->addWidget(Build_ImageFormat(page));
    v->addStretch(1);

    auto* buttons = new QHBoxLayout;
    auto* start = Button(page, "btnToImage", "镜像(&W)");
    auto* cancel = Button(page, "btn5", "取消(&E)");
    start->setIcon(App_Icon("create_image"));
    start->setDefault(true);
    buttons->addStretch(1);
    buttons->addWidget(start);
    buttons->addWidget(cancel);
    v->addLayout(buttons);
    page->setFixedWidth(600);

    connect(start, &QPushButton::clicked, this, &TForm3::btnToImageClick);
    connect(cancel, &QPushButton::clicked, this, &TForm3::btnScanCacelClick);
    return page;
}

QGroupBox* TForm3::Build_ImageRange(QWidget* page) {
    auto* range = new QGroupBox(U("镜像范围"), page);
    range->setObjectName("grpImageRange");
    auto* g = new QGridLayout(range);
    edt1_ = Field(range, "edt1", true);
    lbl4_ = Value(range, "lbl4");
    edt3_ = Sector_Field(range, "edt3", kSectorFieldWidth);
    edt2_ = Sector_Field(range, "edt2", kSectorFieldWidth);
    lbl18_ = Value(range, "lbl18");
    lbl15_ = Value(range, "lbl15");
    lbl22_ = Value(range, "lbl22");
    auto* btn1 = Button(range, "btn1", "默认");
    Place_RangeGrid(g, range,
                    {"存储型号:", "文件系统:", "容量:", "总扇区数:", "每扇区字节:", "起始扇区:", "结束扇区:"},
                    {edt1_, lbl4_, lbl15_, lbl18_, lbl22_, edt3_, edt2_}, btn1);
    connect(btn1, &QPushButton::clicked, this, &TForm3::Reset_ImageRange);
    return range;
}

QGroupBox* TForm3::Build_ImageTarget(QWidget* page) {
    auto* target = new QGroupBox(U("镜像保存路径"), page);
    target->setObjectName("grpImageTarget");
    auto* tl = new QGridLayout(target);
    edt4_ = Field(target, "edt4", true);
    auto* btn3 = Button(target, "btn3", "...");
    btn3->setFixedWidth(32);
    tl->addWidget(Caption(target, "保存路径："), 0, 0);
    tl->addWidget(edt4_, 0, 1);
    tl->addWidget(btn3, 0, 2);
    tl->addWidget(Note(target, "lbl19", "注意：为避免覆盖,请把路径设置到另一个磁盘!"), 1, 0, 1, 3);
    tl->setColumnStretch(1, 1);
    connect(btn3, &QPushButton::clicked, this, &TForm3::Choose_ImageFolder);
    return target;
}

// Format: a raw image, or an E01 container with its compression and case data.
QGroupBox* TForm3::Build_ImageFormat(QWidget* page) {
    auto* format = new QGroupBox(U("镜像格式"), page);
    format->setObjectName("grpImageFormat");
    auto* fl = new QGridLayout(format);
    cmbImageFormat_ = new QComboBox(format);
    cmbImageFormat_->setObjectName("cmbImageFormat");
    cmbImageFormat_->addItem(U(Tr("原始镜像(raw)")));
    cmbImageFormat_->addItem(U(Tr("E01证据文件(EnCase)")));
    cmbImageCompression_ = new QComboBox(format);
    cmbImageCompression_->setObjectName("cmbImageCompression");
    for (const char* c : {"不压缩", "快速压缩", "最佳压缩"})
        cmbImageCompression_->addItem(U(Tr(c)));
    edtCaseNumber_ = Field(format, "edtCaseNumber");
    edtEvidenceNumber_ = Field(format, "edtEvidenceNumber");
    edtExaminer_ = Field(format, "edtExaminer");
    edtDescription_ = Field(format, "edtDescription");
    edtNotes_ = Field(format, "edtNotes");
    fl->addWidget(Caption(format, "格式:"), 0, 0);
    fl->addWidget(cmbImageFormat_, 0, 1);
    fl->addWidget(Caption(format, "压缩:"), 0, 2);
    fl->addWidget(cmbImageCompression_, 0, 3);
    fl->addWidget(Caption(format, "案件编号:"), 1, 0);
    fl->addWidget(edtCaseNumber_, 1, 1);
    fl->addWidget(Caption(format, "证据编号:"), 1, 2);
    fl->addWidget(edtEvidenceNumber_, 1, 3);
    fl->addWidget(Caption(format, "检验人:"), 2, 0);
    fl->addWidget(edtExaminer_, 2, 1);
    fl->addWidget(Caption(format, "描述:"), 2, 2);
    fl->addWidget(edtDescription_, 2, 3);
    fl->addWidget(Caption(format, "备注:"), 3, 0);
    fl->addWidget(edtNotes_, 3, 1, 1, 3);
    fl->setColumnStretch(1, 1);
    fl->setColumnStretch(3, 1);
    const auto e01Fields = [this](int index) {
        for (QWidget* w : std::initializer_list<QWidget*>{cmbImageCompression_, edtCaseNumber_, edtEvidenceNumber_,
                                                          edtExaminer_, edtDescription_, edtNotes_})
            w->setEnabled(index == 1);
    };
    connect(cmbImageFormat_, &QComboBox::currentIndexChanged, this, e01Fields);
    Load_ImageFormat();
    e01Fields(cmbImageFormat_->currentIndex());
    return format;
}

void TForm3::Show_Page(int page) {
    // Only the page of the command is in the tab control, so the dialog takes
    // the size of that page alone.
    const char* caption = page == kScanPage ? "扫描设置" : "镜像设置";
    pages_->clear();
    pages_->addTab(page == kScanPage ? scanPage_ : imagePage_, U(Tr(caption)));
    page_ = page;
    // Each page has its own start button; Enter presses the one that is shown
    // (a dialog presses its default button only while it is visible).
    findChild<QPushButton*>(page == kScanPage ? "btnStartScan" : "btnToImage")->setDefault(true);
    setWindowTitle(U(Tr(caption)));
    adjustSize();
}

// ------------------------------------------------------------ scan page

void TForm3::Clear_ScanPage() {
    for (QLineEdit* e : {edtMediaModel_, edtStartSec_, edtEndSec_, edtScanResultSavepath_})
        e->clear();
    for (QLabel* l : {lblFS_, lblcap_, lblTolalsec_})
        l->clear();
    chk1_->setChecked(false);
    cbb2_->setCurrentIndex(0);
    cbb1_->setCurrentIndex(0);
}

void TForm3::Show_ScanPage(const TTreeData& node) {
    node_ = node;
    Show_Page(kScanPage);
    const TSectorRange range = Default_ScanRange(node);
    edtMediaModel_->setText(U(node.HddModel));
    lblFS_->setText(U(node.HddFs));
    lblcap_->setText(U(node.HddCap));
    lblTolalsec_->setText(N(Scan_TotalSectors(node)));
    edtStartSec_->setText(N(range.Start));
    edtEndSec_->setText(N(range.End));
    show();
    raise();
    activateWindow();
}

void TForm3::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    if (page_ != kScanPage) return;
    cbb1_->setCurrentIndex(0);
    // A physical disk or a source without a known file system is scanned whole.
    cbb1_->setEnabled(node_.Hddtype != HDD_PHYSICAL && node_.HddFs != "RAW");
    if (!chk1_->isChecked()) {
        edtScanResultSavepath_->setEnabled(false);
        btnBrows_->setEnabled(false);
    }
    tmr1_->start();
}

void TForm3::tmr1Timer() {
    if (!isVisible() || page_ != kScanPage) return;
    TBoxRequest r;
    r.Owner = this;
    r.Text = U(Tr("请选择一个文件夹来保存“扫描结果”，这样可以方便下次加载结果查看，点击确定开始设置路径!"));
    r.Caption = U(Tr("提示"));
    r.LanguageId = Get_LanguageId();
    Message_Box(r);
    chk1_->setChecked(true);
}

void TForm3::chk1Click(bool checked) {
    edtScanResultSavepath_->setEnabled(checked);
    btnBrows_->setEnabled(checked);
    if (checked) btnBrowsClick();
}

void TForm3::chk2Click(bool checked) {
    if (checked)
        Hint_Box(main_,
                 "指定日期/时间时请注意时间采用24小时制,设置此项后程序在扫描时会自动保留符合条件的日期/"
                 "时间,如果不能确定时间请关闭此项!");
    medtStarData_->setEnabled(checked);
    medtEndData_->setEnabled(checked);
}

void TForm3::Reset_ScanRange() {
    const TSectorRange range = Default_ScanRange(node_);
    edtStartSec_->setText(N(range.Start));
    edtEndSec_->setText(N(range.End));
}

void TForm3::btnBrowsClick() {
    if (node_.Level == 0) return;
    const QString title =
        U(Tr("提示")) + ":" + "\n" + U(Tr("设置扫描结果的保存路径,注意不要保存到同一个磁盘!"));
    const QString folder = Choose_Folder(this, title);
    // A cancelled choice switches saving off; the results can still be saved
    // by ticking the box again.
    if (folder.isEmpty()) {
        chk1_->setChecked(false);
        return;
    }
    const std::string name = Result_FileName(Named_ByBase(node_), std::time(nullptr));
    if (!main_->Confirm_UnknownDisk(folder.toStdString(), Get_SourcePath(node_))) {
        chk1_->setChecked(false);
        return;
    }
    const std::string refusal =
        Check_OutputTarget(folder.toStdString(), node_, main_->Output_Options(folder.toStdString()));
    if (!refusal.empty()) {
        Hint_Box(main_, refusal);
        chk1_->setChecked(false);
        return;
    }
    edtScanResultSavepath_->setText(Join_Path(folder, name));
}

void TForm3::Open_AdvancedSettings() {
    TForm7* form7 = main_->Form7();
    form7->show();
    form7->raise();
    form7->activateWindow();
}

void TForm3::btnStartScanClick() {
    const auto start = Read_WholeNumber(this, edtStartSec_->text());
    if (!start) return;
    const auto end = Read_WholeNumber(this, edtEndSec_->text());
    if (!end) return;
    if (const std::string refusal = Check_ScanRange(*start, *end); !refusal.empty()) {
        Hint_Box(main_, refusal);
        return;
    }
    // The date window is checked before anything of the previous scan is
    // released, so that a refused window leaves its results usable.
    TScanParams p;
    if (chk2_->isChecked()) {
        const auto from = Parse_DateTime(medtStarData_->text().toStdString());
        const auto to = Parse_DateTime(medtEndData_->text().toStdString());
        if (from && to && *to < *from) {
            Hint_Box(
                main_,
                "结束日期/时间小于起始日期/时间,正确的设置是起始日期/时间小于或者等于结束日期/时间,请重新"
                "设置!");
            return;
        }
        // A text that is not a date leaves the filter off; the scan still runs.
        if (from && to) {
            p.DateFilter = true;
            p.DateFrom = *from;
            p.DateTo = *to;
        }
    }
    p.Node = node_;
    p.Mode = cbb1_->currentIndex();
    p.StartSec = *start;
    p.EndSec = *end;
    p.SaveResults = chk1_->isChecked() && !edtScanResultSavepath_->text().isEmpty();
    p.ResultPath = edtScanResultSavepath_->text().toStdString();
    p.ResultNameFree = true; // the field holds a name made up from the source and the time
    p.RecoveryType = cbb2_->currentIndex();
    p.IntervalScheme = main_->Form7()->IntervalScheme();
    p.InterleaveScheme = main_->Form7()->InterleaveScheme();
    // The time standard is read when shooting times are converted.
    p.TimeStandard = rb2_->isChecked() ? TIMESTD_CHINA : TIMESTD_UTC;
    const TGuardOptions output =
        main_->Output_Options(QFileInfo(edtScanResultSavepath_->text()).absolutePath().toStdString());
    if (!Start_Scan(*main_, p, output)) return;
    btnScanCacelClick();
    main_->Form2()->Show_SecondGauge(false);
}

void TForm3::btnScanCacelClick() {
    reject();
}

void TForm3::reject() {
    tmr1_->stop();
    main_->Set_MainEnabled(true);
    QDialog::reject();
}

void TForm3::closeEvent(QCloseEvent* e) {
    tmr1_->stop();
    main_->Set_MainEnabled(true);
    QDialog::closeEvent(e);
}

// ------------------------------------------------------------ imaging page

void TForm3::Clear_ImagePage() {
    for (QLineEdit* e : {edt1_, edt3_, edt2_, edt4_})
        e->clear();
    for (QLabel* l : {lbl4_, lbl18_, lbl22_})
        l->clear();
}

void TForm3::Show_ImagePage(const TTreeData& node) {
    node_ = node;
    Show_Page(kImagePage);
    edt1_->setText(U(node.HddModel));
    lbl4_->setText(U(node.HddFs));
    lbl18_->setText(N(Node_TotalSectors(node)));
    Reset_ImageRange();
    lbl15_->setText(U(node.HddCap));
    lbl22_->setText(N(node.PerSecBytes > 0 ? node.PerSecBytes : 512));
    show();
    raise();
    activateWindow();
}

void TForm3::Reset_ImageRange() {
    const int64_t sectors = Node_TotalSectors(node_);
    const int64_t first = node_.Hddtype == HDD_REGION ? node_.RegionSec : 0;
    edt3_->setText(N(first));
    edt2_->setText(N(first + sectors));
}

void TForm3::Choose_ImageFolder() {
    edt4_->clear();
    if (node_.Level == 0) return;
    const QString title =
        U(Tr("提示")) + ":" + "\r\n" + U(Tr("设置镜像的保存路径,注意不要保存到同一个磁盘!"));
    const QString folder = Choose_Folder(this, title);
    if (folder.isEmpty()) return;
    const std::string name = Image_FileName(Named_ByBase(node_), std::time(nullptr));
    if (!main_->Confirm_UnknownDisk(folder.toStdString(), Get_SourcePath(node_))) return;
    const std::string refusal =
        Check_OutputTarget(folder.toStdString(), node_, main_->Output_Options(folder.toStdString()));
    if (!refusal.empty()) {
        Hint_Box(main_, refusal);
        return;
    }
    edt4_->setText(Join_Path(folder, name));
}

void TForm3::btnToImageClick() {
    if (edt4_->text().isEmpty()) {
        Choose_ImageFolder();
        return;
    }
    const auto start = Read_WholeNumber(this, edt3_->text());
    if (!start) return;
    const auto end = Read_WholeNumber(this, edt2_->text());
    if (!end) return;
    if (const TOutcome refusal = Check_ImageRange(*start, *end); !refusal.Is_Ok()) {
        Hint_Box(this, refusal.Why);
        return;
    }
    const int64_t sectorSize = lbl22_->text().toLongLong();
    const int64_t needed = Range_Bytes(*start, *end, sectorSize > 0 ? sectorSize : 512);
    const std::string target = edt4_->text().toStdString();
    const int64_t free = Get_FreeBytes(QFileInfo(edt4_->text()).absolutePath().toStdString());
    if (const TOutcome lines = Check_ImageSpace(free, needed, lbl15_->text().toStdString()); !lines.Is_Ok()) {
        Hint_Box(this, lines.Why);
        return;
    }
    TImageOptions opts;
    opts.Format = cmbImageFormat_->currentIndex() == 1 ? TImageFormat::E01 : TImageFormat::Raw;
    opts.Ewf.Compression = cmbImageCompression_->currentIndex() == 2   ? TEwfCompression::Best
                           : cmbImageCompression_->currentIndex() == 1 ? TEwfCompression::Fast
                                                                       : TEwfCompression::None;
    opts.Ewf.CaseNumber = edtCaseNumber_->text().toStdString();
    opts.Ewf.EvidenceNumber = edtEvidenceNumber_->text().toStdString();
    opts.Ewf.Examiner = edtExaminer_->text().toStdString();
    opts.Ewf.Description = edtDescription_->text().toStdString();
    opts.Ewf.Notes = edtNotes_->text().toStdString();
    Save_ImageFormat();
    const TTreeData node = node_;
    const int64_t first = *start, last = *end;
    const TGuardOptions output = main_->Output_Options(QFileInfo(edt4_->text()).absolutePath().toStdString());
    const std::string folder = QFileInfo(edt4_->text()).absolutePath().toStdString();
    const std::shared_ptr<TOpState> op = std::make_shared<TOpState>();
    if (!main_->Start_Worker(
            "Image0000",
            [main = main_, op, node, target, folder, first, last, output, opts] {
                To_image(*op, node, target, first, last, output, opts);
                QMetaObject::invokeMethod(
                    main, [main, folder] { main->Offer_OutputFolder(folder); }, Qt::QueuedConnection);
            },
            TWorkerKind::Operation, op))
        return;
    btnScanCacelClick();
    main_->Form2()->Show_SecondGauge(false);
}

// The format and case data are remembered between runs with the window's other
// settings (written through the output guard).
namespace {
constexpr const char* kImagingGroup = "imaging";
} // namespace

void TForm3::Load_ImageFormat() {
    const QJsonObject s = Remembered_Group(kImagingGroup);
    cmbImageFormat_->setCurrentIndex(s.value("format").toString() == "e01" ? 1 : 0);
    cmbImageCompression_->setCurrentIndex(std::clamp(s.value("compression").toInt(0), 0, 2));
    edtCaseNumber_->setText(s.value("case_number").toString());
    edtEvidenceNumber_->setText(s.value("evidence_number").toString());
    edtExaminer_->setText(s.value("examiner").toString());
    edtDescription_->setText(s.value("description").toString());
    edtNotes_->setText(s.value("notes").toString());
}

void TForm3::Save_ImageFormat() {
    QJsonObject s;
    s.insert("format", cmbImageFormat_->currentIndex() == 1 ? "e01" : "raw");
    s.insert("compression", cmbImageCompression_->currentIndex());
    s.insert("case_number", edtCaseNumber_->text());
    s.insert("evidence_number", edtEvidenceNumber_->text());
    s.insert("examiner", edtExaminer_->text());
    s.insert("description", edtDescription_->text());
    s.insert("notes", edtNotes_->text());
    Remember_Group(kImagingGroup, s);
}

} // namespace qrv::app
