#include "app/search_dialog.h"
#include "app/qt_text.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/icons.h"
#include "app/main_window.h"
#include "app/translate_form.h"

namespace qrv::app {

namespace {


QLineEdit* Date_Field(QWidget* parent, const char* name) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(name);
    // Digits in the places of yyyy-MM-dd, at most ten characters.
    e->setInputMask("9999-99-99");
    e->setText("2018-01-01");
    return e;
}

// A masked date field left without any digit counts as empty.
std::string Date_Text(const QLineEdit* e) {
    const QString t = e->text();
    for (QChar c : t)
        if (c.isDigit()) return t.toStdString();
    return {};
}

} // namespace

TForm6::TForm6(TForm1* main) : QDialog(main), main_(main) {
    setObjectName("Form6");
    setWindowTitle(U("搜索文件"));
    setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setModal(false);

    auto* top = new QVBoxLayout(this);
    auto* g = new QGridLayout;
    auto caption = [this](const char* text) {
        auto* l = new QLabel(U(text), this);
        l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        return l;
    };
    medtStarData_ = Date_Field(this, "medtStarData");
    medtEndData_ = Date_Field(this, "medtEndData");
    edt1_ = new QLineEdit(this);
    edt1_->setObjectName("edt1");
    g->addWidget(caption("      起始日期:"), 0, 0);
    g->addWidget(medtStarData_, 0, 1);
    g->addWidget(caption("结束日期:"), 0, 2);
    g->addWidget(medtEndData_, 0, 3);
    g->addWidget(caption("  摄像机型号:"), 1, 0);
    g->addWidget(edt1_, 1, 1, 1, 3);
    top->addLayout(g);

    auto* buttons = new QHBoxLayout;
    auto* btn1 = new QPushButton(App_Icon("search"), U("确定"), this);
    btn1->setObjectName("btn1");
    btn1->setDefault(true);
    auto* btn2 = new QPushButton(U("取消"), this);
    btn2->setObjectName("btn2");
    buttons->addStretch(1);
    buttons->addWidget(btn1);
    buttons->addWidget(btn2);
    top->addLayout(buttons);

    connect(btn1, &QPushButton::clicked, this, &TForm6::Confirm_Search);
    connect(btn2, &QPushButton::clicked, this, &TForm6::Cancel_Search);

    Translate_Form(this);
    top->setSizeConstraint(QLayout::SetFixedSize);
}

void TForm6::Show_Centred() {
    adjustSize();
    if (QWidget* owner = parentWidget()) move(owner->frameGeometry().center() - rect().center());
    show();
    raise();
    activateWindow();
}

void TForm6::Confirm_Search() {
    close();
    main_->Start_Search(Date_Text(medtStarData_), Date_Text(medtEndData_), edt1_->text().toStdString());
}

void TForm6::Cancel_Search() {
    close();
}

} // namespace qrv::app
