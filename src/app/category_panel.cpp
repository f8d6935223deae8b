#include "app/category_panel.h"

#include <QToolButton>
#include <QVBoxLayout>

namespace qrv::app {

TCategoryPanel::TCategoryPanel(const QString& caption, QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    header_ = new QToolButton(this);
    header_->setText(caption);
    header_->setCheckable(true);
    header_->setChecked(true);
    header_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    header_->setArrowType(Qt::DownArrow);
    header_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    header_->setProperty("qrvCategory", true);
    layout->addWidget(header_);
    body_ = new QWidget(this);
    bodyLayout_ = new QVBoxLayout(body_);
    bodyLayout_->setContentsMargins(4, 4, 4, 6);
    bodyLayout_->setSpacing(2);
    layout->addWidget(body_);
    connect(header_, &QToolButton::toggled, this, &TCategoryPanel::Set_Expanded);
}

void TCategoryPanel::Add(QWidget* w) {
    bodyLayout_->addWidget(w);
}

bool TCategoryPanel::Expanded() const {
    return body_->isVisibleTo(const_cast<TCategoryPanel*>(this));
}

void TCategoryPanel::Set_Expanded(bool expanded) {
    body_->setVisible(expanded);
    header_->setArrowType(expanded ? Qt::DownArrow : Qt::RightArrow);
    if (header_->isChecked() != expanded) header_->setChecked(expanded);
}

} // namespace qrv::app
