#include "app/dialog_fields.h"
#include "app/qt_text.h"

#include <QGridLayout>
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

void Place_RangeGrid(QGridLayout* g, QWidget* parent, std::initializer_list<const char*> captions,
                     std::initializer_list<QWidget*> fields, QWidget* resetButton) {
    // Row, column and span of each field's caption; the field stands right of it.
    static constexpr int kPlaces[7][3] = {{0, 0, 4}, {1, 0, 1}, {1, 2, 2}, {2, 0, 1},
                                          {2, 2, 2}, {3, 0, 1}, {3, 2, 1}};
    auto caption = captions.begin();
    auto field = fields.begin();
    for (const auto& p : kPlaces) {
        if (caption == captions.end() || field == fields.end()) break;
        g->addWidget(Caption(parent, *caption++), p[0], p[1]);
        g->addWidget(*field++, p[0], p[1] + 1, 1, p[2]);
    }
    g->addWidget(resetButton, 3, 4);
    g->setColumnStretch(1, 1);
    g->setColumnStretch(3, 1);
}

} // namespace qrv::app
