#include "app/region_dialog.h"
#include "app/qt_text.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/dialog_fields.h"
#include "app/icons.h"
#include "app/main_window.h"
#include "app/prompts.h"
#include "app/translate_form.h"
#include "common/language.h"
#include "sources/regions.h"
#include "sources/source_tree.h"

namespace qrv::app {

TForm4::TForm4(TForm1* main) : QDialog(main), main_(main) {
    setObjectName("Form4");
    setWindowTitle(U("创建区域"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setModal(false);

    auto* top = new QVBoxLayout(this);
    auto* source = new QGroupBox(U("存储参数"), this);
    source->setObjectName("grpSource");
    auto* g = new QGridLayout(source);
    edtModel_ = new QLineEdit(source);
    edtModel_->setObjectName("edtModel");
    edtModel_->setReadOnly(true);
    lblFS_ = Value_Label(source, "lblFS", 80);
    lblCap_ = Value_Label(source, "lblCap", 80);
    lblTotalSec_ = Value_Label(source, "lblTotalSec", 80);
    lblPerSecByte_ = Value_Label(source, "lblPerSecByte", 80);
    g->addWidget(Caption(source, "存储型号:"), 0, 0);
    g->addWidget(edtModel_, 0, 1, 1, 3);
    g->addWidget(Caption(source, "文件系统:"), 1, 0);
    g->addWidget(lblFS_, 1, 1);
    g->addWidget(Caption(source, "容量:"), 1, 2);
    g->addWidget(lblCap_, 1, 3);
    g->addWidget(Caption(source, "总扇区数:"), 2, 0);
    g->addWidget(lblTotalSec_, 2, 1);
    g->addWidget(Caption(source, "每扇区字节:"), 2, 2);
    g->addWidget(lblPerSecByte_, 2, 3);
    g->setColumnStretch(1, 1);
    g->setColumnStretch(3, 1);
    top->addWidget(source);

    auto* range = new QGroupBox(U("区域范围"), this);
    range->setObjectName("grpRange");
    auto* r = new QHBoxLayout(range);
    edtStartSec_ = Sector_Field(range, "edtStartSec");
    edtSecCount_ = Sector_Field(range, "edtSecCount");
    auto* btn1 = new QPushButton(U("默认"), range);
    btn1->setObjectName("btn1");
    r->addWidget(Caption(range, " 起始扇区:"));
    r->addWidget(edtStartSec_, 1);
    r->addWidget(Caption(range, "扇区数量:"));
    r->addWidget(edtSecCount_, 1);
    r->addWidget(btn1);
    top->addWidget(range);

    auto* buttons = new QHBoxLayout;
    auto* ok = new QPushButton(U("确认(&Y)"), this);
    ok->setObjectName("btnToImage");
    ok->setIcon(App_Icon("region"));
    ok->setDefault(true);
    auto* cancel = new QPushButton(U("取消(&E)"), this);
    cancel->setObjectName("btn5");
    buttons->addStretch(1);
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    top->addLayout(buttons);

    connect(ok, &QPushButton::clicked, this, &TForm4::btnToImageClick);
    connect(btn1, &QPushButton::clicked, this, &TForm4::Reset_RegionCount);
    connect(cancel, &QPushButton::clicked, this, &TForm4::Cancel_Region);

    Translate_Form(this);
    setMinimumSize(471, 200);
    top->setSizeConstraint(QLayout::SetFixedSize);
}

void TForm4::Show_For(const TTreeData& node) {
    edtModel_->setText(U(node.HddModel));
    lblFS_->setText(U(node.HddFs));
    edtStartSec_->setText("0");
    edtSecCount_->setText("64");
    lblTotalSec_->setText(QString::number(qlonglong(Node_TotalSectors(node))));
    lblCap_->setText(U(node.HddCap));
    lblPerSecByte_->setText(QString::number(node.PerSecBytes));
    if (QWidget* owner = parentWidget()) move(owner->frameGeometry().center() - rect().center());
    show();
    raise();
    activateWindow();
}

namespace {

// Applies a check's outcome to the fields and shows its message: a field
// check's message as a hint, a number that is not one as a conversion error.
void Show_Check(QWidget* owner, const TRegionCheck& c, QLineEdit* start, QLineEdit* count) {
    if (c.StartText) start->setText(U(*c.StartText));
    if (c.CountText && !c.Ok) count->setText(U(*c.CountText));
    if (c.Message.empty()) return;
    if (!c.StartText && !c.CountText) {
        TBoxRequest r;
        r.Owner = owner;
        r.Text = U(c.Message);
        r.Caption = U(Tr("QRV 视频恢复"));
        r.Icon = TBoxIcon::Critical;
        r.LanguageId = Get_LanguageId();
        Message_Box(r);
        return;
    }
    Hint_Box(owner, c.Message);
}

} // namespace

void TForm4::Reset_RegionCount() {
    const TRegionCheck c =
        Default_RegionCount(edtStartSec_->text().toStdString(), edtSecCount_->text().toStdString(),
                            lblTotalSec_->text().toLongLong());
    if (c.Ok && c.CountText) edtSecCount_->setText(U(*c.CountText));
    Show_Check(main_, c, edtStartSec_, edtSecCount_);
}

void TForm4::btnToImageClick() {
    const std::string startText = edtStartSec_->text().toStdString();
    const std::string countText = edtSecCount_->text().toStdString();
    const TRegionCheck c = Check_RegionRange(startText, countText, lblTotalSec_->text().toLongLong());
    if (!c.Ok) {
        Show_Check(main_, c, edtStartSec_, edtSecCount_);
        return;
    }
    const int64_t start = std::stoll(startText);
    const int64_t count = std::stoll(countText);
    // Adds the regions; its completion message closes this dialog.
    main_->Add_Regions(int32_t(lblPerSecByte_->text().toInt()), start, start + count);
}

void TForm4::Cancel_Region() {
    reject();
}

void TForm4::reject() {
    main_->Set_MainEnabled(true);
    QDialog::reject();
}

void TForm4::closeEvent(QCloseEvent* e) {
    main_->Set_MainEnabled(true);
    QDialog::closeEvent(e);
}

} // namespace qrv::app
