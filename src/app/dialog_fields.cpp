#include "app/dialog_fields.h"
#include "app/qt_text.h"

#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>

namespace qrv::app {

QLabel* Caption(QWidget* parent, const char* text) {
    auto* l = new QLabel(U(text), parent);
    l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return l;
}

QLabel* Value_Label(QWidget* parent, const char* name, int minWidth) {
    auto* l = new QLabel(parent);
    l->setObjectName(name);
    l->setMinimumWidth(minWidth);
    return l;
}

QLineEdit* Sector_Field(QWidget* parent, const char* name, int minWidth) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(name);
    e->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9.]*"), e));
    if (minWidth > 0) e->setMinimumWidth(minWidth);
    return e;
}

} // namespace qrv::app
