#include "app/advanced_dialog.h"
#include "app/qt_text.h"

#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/translate_form.h"

namespace qrv::app {

namespace {


QGroupBox* Scheme_Group(QWidget* owner, const char* caption, QComboBox* list, const char* noteName,
                        const char* note) {
    auto* g = new QGroupBox(U(caption), owner);
    auto* l = new QVBoxLayout(g);
    l->addWidget(list);
    auto* n = new QLabel(U(note), g);
    n->setObjectName(noteName);
    n->setWordWrap(true);
    n->setStyleSheet("color: #555;");
    l->addWidget(n);
    return g;
}

} // namespace

TForm7::TForm7(QWidget* owner) : QDialog(owner) {
    setObjectName("Form7");
    setWindowTitle(U("高级设置"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

    cbb1_ = new QComboBox(this);
    cbb1_->setObjectName("cbb1");
    for (const char* s :
         {"方案1:单向2倍(默认)", "方案2:单向4倍", "方案3:反向2倍", "方案4:反向4倍", "方案5:双向2倍",
          "方案6:双向4倍", "方案7:单向最大值(速度慢)", "方案8:双向最大值(速度慢)"})
        cbb1_->addItem(U(s));
    cbb3_ = new QComboBox(this);
    cbb3_->setObjectName("cbb3");
    for (const char* s : {"方案1:先上后下(默认)", "方案2:先下后上"})
        cbb3_->addItem(U(s));

    auto* top = new QVBoxLayout(this);
    top->addWidget(Scheme_Group(
        this, "重组区间值 ", cbb1_, "lbl1",
        "在正常情况下,程序内置的智能算法会自动设置重组区间,理论状态下这个区间值是可以做到精确判断"
        "的.在一些极端情况下,比如你发现重组的结果比较糟糕(红色图标),那此时可以更换不同的方案进行"
        "重新扫描以获取最佳重组效果."));
    top->addWidget(Scheme_Group(this, "视频交叉碎片处理方案", cbb3_, "lbl2",
                                "当重组后发现视频效果不好时,可以更换不同的方案重新扫描."));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    auto* cancel = new QPushButton(U("取消"), this);
    cancel->setObjectName("btnCancel");
    auto* ok = new QPushButton(U("确定"), this);
    ok->setObjectName("btnOK");
    ok->setDefault(true);
    buttons->addWidget(cancel);
    buttons->addWidget(ok);
    top->addLayout(buttons);
    connect(ok, &QPushButton::clicked, this, &TForm7::btnOKClick);
    connect(cancel, &QPushButton::clicked, this, &TForm7::btnCancelClick);

    Translate_Form(this);
    cbb1_->setMinimumWidth(380);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
}

void TForm7::btnOKClick() {
    intervalScheme_ = cbb1_->currentIndex();
    interleaveScheme_ = cbb3_->currentIndex();
    accept();
}

void TForm7::btnCancelClick() {
    reject();
}

void TForm7::reject() {
    cbb1_->setCurrentIndex(0);
    cbb3_->setCurrentIndex(0);
    intervalScheme_ = 0;
    interleaveScheme_ = 0;
    QDialog::reject();
}

} // namespace qrv::app
