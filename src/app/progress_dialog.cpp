#include "app/progress_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <limits>

#include "app/prompts.h"
#include "app/translate_form.h"
#include "common/language.h"
#include "common/op_state.h"
#include "common/text_format.h"

namespace qrv::app {

namespace {

const char* kGaugeStyle = "QProgressBar { border: 1px solid #8aa4bf; background: white; text-align: center; }"
                          "QProgressBar::chunk { background: #87ceeb; }";

// A gauge over 0..total. A total of 0 (or less) gives an empty gauge at 0 %
// rather than the toolkit's busy animation for an empty range.
// Totals beyond the gauge's range (more than 2^31 - 1 blocks) fill it at
// its largest.
void Set_GaugeRange(QProgressBar* g, int64_t total) {
    const int32_t t = int32_t(std::clamp<int64_t>(total, 0, std::numeric_limits<int32_t>::max()));
    g->setRange(0, t == 0 ? 1 : t);
    g->setValue(0);
    g->setProperty("qrvTotal", t);
}

// How often the gauges and status texts are polled while an operation runs.
constexpr int kPollMs = 125;

void Set_GaugePosition(QProgressBar* g, int32_t position) {
    const int32_t total = g->property("qrvTotal").toInt();
    g->setValue(total == 0 ? 0 : std::clamp(position, 0, total));
}

} // namespace

TForm2::TForm2(QWidget* owner) : QDialog(owner) {
    setObjectName("Form2");
    setWindowTitle(QString::fromUtf8("扫描/保存/加载/镜像进度"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setModal(false);
    setAutoFillBackground(true);
    setStyleSheet("QDialog#Form2 { background: white; }");

    auto* top = new QVBoxLayout(this);
    top->setContentsMargins(6, 6, 6, 0);
    top->setSpacing(4);

    auto* row = new QHBoxLayout;
    g1_ = new QProgressBar(this);
    g1_->setObjectName("g1");
    g1_->setStyleSheet(kGaugeStyle);
    btn1_ = new QPushButton(QString::fromUtf8("停止(&E)"), this);
    btn1_->setObjectName("btn1");
    btn1_->setFixedWidth(77);
    row->addWidget(g1_, 1);
    row->addWidget(btn1_);
    top->addLayout(row);

    pnl3_ = new QFrame(this);
    pnl3_->setObjectName("pnl3");
    auto* p3 = new QHBoxLayout(pnl3_);
    p3->setContentsMargins(0, 0, 0, 0);
    g2_ = new QProgressBar(pnl3_);
    g2_->setObjectName("g2");
    g2_->setStyleSheet(kGaugeStyle);
    g2_->setFixedHeight(17);
    p3->addWidget(g2_);
    top->addWidget(pnl3_);
    top->addStretch(1);

    stat1_ = new QStatusBar(this);
    stat1_->setObjectName("stat1");
    stat1_->setSizeGripEnabled(false);
    const int widths[4] = {150, 150, 150, 50};
    for (int i = 0; i < 4; ++i) {
        panels_[i] = new QLabel(stat1_);
        panels_[i]->setObjectName(QString("stat1_panel%1").arg(i));
        panels_[i]->setMinimumWidth(widths[i]);
        // Panel 0 without bevel; the others framed like status-bar panels.
        if (i > 0) panels_[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        stat1_->addWidget(panels_[i], i == 3 ? 1 : 0);
    }
    top->addWidget(stat1_);

    btn2_ = new QPushButton(this);
    btn2_->setObjectName("btn2");
    btn2_->setVisible(false);

    tmr1_ = new QTimer(this);
    tmr1_->setObjectName("tmr1");
    tmr1_->setInterval(1000);

    tmrPoll_ = new QTimer(this);
    tmrPoll_->setObjectName("tmrPoll");
    tmrPoll_->setInterval(kPollMs);

    connect(tmr1_, &QTimer::timeout, this, &TForm2::tmr1Timer);
    connect(tmrPoll_, &QTimer::timeout, this, &TForm2::Poll_Progress);
    connect(btn1_, &QPushButton::clicked, this, &TForm2::Ask_Stop);
    connect(btn2_, &QPushButton::clicked, this, &TForm2::Hide_Progress);

    Set_GaugeRange(g1_, 0);
    Set_GaugeRange(g2_, 0);
    Translate_Form(this);
    setFixedSize(735, 82);
}

void TForm2::Progress_Start(int64_t total, const QString& label) {
    tmr1_->start();
    tmrPoll_->start();
    Set_GaugeRange(g1_, total);
    Set_GaugeRange(g2_, 0);
    shownTotal2_ = 0;
    // The next poll shows the record's texts whatever it holds.
    shownVersion_ = 0;
    shownSets2_ = shownSets3_ = ~uint64_t(0);
    panels_[0]->clear();
    panels_[1]->setText(label + QString::number(total));
    panels_[2]->clear();
    panels_[3]->clear();
    if (QWidget* owner = parentWidget()) {
        // Centred on the main window.
        QRect r = owner->frameGeometry();
        move(r.center() - QPoint(width() / 2, height() / 2));
    }
    show();
    raise();
}

void TForm2::Progress_End() {
    tmr1_->stop();
    tmrPoll_->stop();
    Hide_Progress();
}

void TForm2::Set_Panel(int index, const QString& text) {
    if (index >= 0 && index < 4) panels_[index]->setText(text);
}

QString TForm2::Panel(int index) const {
    return index >= 0 && index < 4 ? panels_[index]->text() : QString();
}

void TForm2::Set_SecondRange(int32_t total) {
    Set_GaugeRange(g2_, total);
}

void TForm2::Show_SecondGauge(bool visible) {
    pnl3_->setVisible(visible);
}

void TForm2::Enable_SecondGauge(bool enabled) {
    pnl3_->setEnabled(enabled);
}

void TForm2::Set_Op(std::shared_ptr<TOpState> op) {
    op_ = std::move(op);
    shownVersion_ = UINT64_MAX; // another record: shown afresh
}

void TForm2::Poll_Progress() {
    TProgressRecord& rec = op_->Record;
    const uint64_t version = rec.Version.load();
    if (version != shownVersion_) {
        shownVersion_ = version;
        const TProgressTexts t = rec.Texts();
        if (t.Sets2 != shownSets2_) panels_[2]->setText(QString::fromStdString(t.Status2));
        if (t.Sets3 != shownSets3_) panels_[3]->setText(QString::fromStdString(t.Status3));
        shownSets2_ = t.Sets2;
        shownSets3_ = t.Sets3;
        const int64_t total2 = rec.Total2.load();
        if (total2 != shownTotal2_) {
            shownTotal2_ = total2;
            Set_GaugeRange(g2_, total2);
        }
    }
    Refresh_Gauges();
}

void TForm2::tmr1Timer() {
    Poll_Progress();
    TOpState& st = *op_;
    panels_[0]->setText(QString::fromStdString(Elapsed_Text(st.Elapsed_Seconds())));
    const std::string counter = Progress_CounterText(st.WrittenBytes.load(), st.JudgedBlocks.load());
    if (!counter.empty()) panels_[3]->setText(QString::fromStdString(counter));
}

void TForm2::Refresh_Gauges() {
    const TOpState& st = *op_;
    Set_GaugePosition(g1_, st.Progress1.load());
    Set_GaugePosition(g2_, st.Progress2.load());
}

void TForm2::Ask_Stop() {
    TBoxRequest r;
    r.Owner = nullptr;
    r.Text = QString::fromStdString(Tr("此操作将导致扫描、镜像、保存结果不完整,您确定要停止吗?"));
    r.Caption = QString::fromStdString(Tr("注意"));
    r.Icon = TBoxIcon::Warning;
    r.Buttons = TBoxButtons::OkCancel;
    r.LanguageId = Get_LanguageId();
    if (Message_Box(r) == TBoxAnswer::Ok) op_->StopFlag = true;
}

void TForm2::Hide_Progress() {
    // Hidden, not closed: closing the dialog by hand asks to stop.
    hide();
}

void TForm2::reject() {
    Ask_Stop();
}

} // namespace qrv::app
