#include "app/translate_form.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractScrollArea>
#include <QAction>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QRegularExpression>
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

// A caption as a name: without "&" marks, surrounding blanks and a closing colon.
QString As_Name(QString text) {
    text.remove(QRegularExpression("&(?=[^&])"));
    text = text.trimmed();
    while (text.endsWith(':') || text.endsWith(QChar(0xFF1A)) || text.endsWith("..."))
        text.chop(text.endsWith("...") ? 3 : 1), text = text.trimmed();
    return text;
}

bool Has_Letter(const QString& text) {
    for (QChar c : text)
        if (c.isLetterOrNumber()) return true;
    return false;
}

// The label just before w in the layout that holds it: the cell to its left
// (or above it) in a grid, the item before it in a box layout.
QLabel* Label_Before(QLayout* layout, const QWidget* w) {
    if (layout == nullptr) return nullptr;
    auto label_at = [](QLayoutItem* item) -> QLabel* {
        auto* l = item ? qobject_cast<QLabel*>(item->widget()) : nullptr;
        return l && Has_Letter(l->text()) ? l : nullptr;
    };
    const int at = layout->indexOf(const_cast<QWidget*>(w));
    if (at >= 0) {
        if (auto* grid = qobject_cast<QGridLayout*>(layout)) {
            int row, column, rows, columns;
            grid->getItemPosition(at, &row, &column, &rows, &columns);
            for (int c = column - 1; c >= 0; --c)
                if (QLayoutItem* item = grid->itemAtPosition(row, c)) return label_at(item);
            return nullptr;
        }
        for (int i = at - 1; i >= 0; --i)
            if (layout->itemAt(i)->widget() != nullptr) return label_at(layout->itemAt(i));
        return nullptr;
    }
    for (int i = 0; i < layout->count(); ++i)
        if (QLayout* inner = layout->itemAt(i)->layout())
            if (QLabel* l = Label_Before(inner, w)) return l;
    return nullptr;
}

// The title of the group box or tab page w lies in, else its window's title.
QString Container_Name(const QWidget* w) {
    for (const QWidget* p = w->parentWidget(); p != nullptr; p = p->parentWidget()) {
        if (auto* g = qobject_cast<const QGroupBox*>(p); g && Has_Letter(g->title()))
            return As_Name(g->title());
        const QWidget* stack = p->parentWidget();
        if (auto* t = qobject_cast<const QTabWidget*>(stack ? stack->parentWidget() : nullptr))
            if (const int i = t->indexOf(const_cast<QWidget*>(p)); i >= 0 && Has_Letter(t->tabText(i)))
                return As_Name(t->tabText(i));
    }
    return As_Name(w->window()->windowTitle());
}

QString Tip_Name(const QWidget* w) {
    return Has_Letter(w->toolTip()) ? As_Name(Caption(w->toolTip())) : QString();
}

QString Name_Of(QWidget* w, const QHash<const QWidget*, QString>& buddies) {
    if (auto* b = qobject_cast<QAbstractButton*>(w)) {
        // Qt reads a button's caption itself; only captions of marks need a name.
        if (Has_Letter(b->text())) return {};
        if (QString tip = Tip_Name(w); !tip.isEmpty()) return tip;
    }
    if (const QString buddy = buddies.value(w); !buddy.isEmpty()) return buddy;
    const bool area =
        qobject_cast<QAbstractScrollArea*>(w) != nullptr || qobject_cast<QTabWidget*>(w) != nullptr;
    if (!area && w->parentWidget()) {
        if (QLabel* l = Label_Before(w->parentWidget()->layout(), w)) {
            // The label names the control for screen readers that follow
            // "labelled by" relations too (on Linux a combo box is named by its text).
            if (l->buddy() == nullptr) l->setBuddy(w);
            return As_Name(l->text());
        }
    }
    if (QString tip = Tip_Name(w); !tip.isEmpty()) return tip;
    if (auto* e = qobject_cast<QLineEdit*>(w); e && Has_Letter(e->placeholderText()))
        return As_Name(e->placeholderText());
    return Container_Name(w);
}

} // namespace

void Name_Controls(QWidget* window) {
    QHash<const QWidget*, QString> buddies;
    for (QLabel* l : window->findChildren<QLabel*>())
        if (l->buddy() != nullptr) buddies.insert(l->buddy(), As_Name(l->text()));
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (w->focusPolicy() == Qt::NoFocus || !w->accessibleName().isEmpty()) continue;
        // Parts of a composite control (a combo box's list, a view's viewport
        // or header) are announced with the control itself.
        if (qobject_cast<QAbstractItemView*>(w->parentWidget()) || w->inherits("QComboBoxPrivateContainer") ||
            w->inherits("QScrollBar"))
            continue;
        if (const QString name = Name_Of(w, buddies); !name.isEmpty()) w->setAccessibleName(name);
    }
}

// The texts of the window in English (see the header).
static void Translate_Texts(QWidget* window) {
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

void Translate_Form(QWidget* window) {
    Translate_Texts(window);
    Name_Controls(window);
}

} // namespace qrv::app
