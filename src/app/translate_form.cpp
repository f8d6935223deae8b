#include "app/translate_form.h"

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QStatusBar>
#include <QTabWidget>
#include <QTreeView>
#include <QTreeWidget>

#include "common/language.h"

namespace qrv::app {

namespace {

QString Caption(const QString& text, bool trim = true) {
    if (text.isEmpty()) return text;
    return QString::fromStdString(Translate_Caption(text.toStdString(), trim));
}

bool Inside_StatusBar(const QWidget* w) {
    for (const QWidget* p = w->parentWidget(); p != nullptr; p = p->parentWidget())
        if (qobject_cast<const QStatusBar*>(p)) return true;
    return false;
}

void Translate_Columns(QTreeView* view) {
    if (auto* tw = qobject_cast<QTreeWidget*>(view)) {
        QTreeWidgetItem* header = tw->headerItem();
        for (int c = 0; c < header->columnCount(); ++c)
            header->setText(c, Caption(header->text(c), false));
        return;
    }
    QAbstractItemModel* model = view->model();
    if (model == nullptr) return;
    for (int c = 0; c < model->columnCount(); ++c) {
        QString text = model->headerData(c, Qt::Horizontal).toString();
        model->setHeaderData(c, Qt::Horizontal, Caption(text, false));
    }
}

// Popup menus: the menus that are not submenus of another menu.
void Translate_Menu(QMenu* menu) {
    if (qobject_cast<QMenu*>(menu->parent())) return;
    for (QAction* a : menu->actions())
        if (!a->isSeparator()) a->setText(Caption(a->text()));
}

} // namespace

void Translate_Form(QWidget* window) {
    if (Get_Language() != 1 || Language_TableEmpty()) return;
    window->setWindowTitle(Caption(window->windowTitle(), false));
    for (QObject* o : window->findChildren<QObject*>()) {
        if (auto* b = qobject_cast<QAbstractButton*>(o)) {
            b->setText(Caption(b->text()));
        } else if (auto* l = qobject_cast<QLabel*>(o)) {
            if (!Inside_StatusBar(l)) l->setText(Caption(l->text()));
        } else if (auto* g = qobject_cast<QGroupBox*>(o)) {
            g->setTitle(Caption(g->title()));
        } else if (auto* t = qobject_cast<QTabWidget*>(o)) {
            for (int i = 0; i < t->count(); ++i)
                t->setTabText(i, Caption(t->tabText(i)));
        } else if (auto* v = qobject_cast<QTreeView*>(o)) {
            Translate_Columns(v);
        } else if (auto* m = qobject_cast<QMenu*>(o)) {
            Translate_Menu(m);
        } else if (auto* c = qobject_cast<QComboBox*>(o)) {
            for (int i = 0; i < c->count(); ++i)
                c->setItemText(i, Caption(c->itemText(i)));
        }
    }
}

} // namespace qrv::app
