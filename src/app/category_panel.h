// A collapsible group of the window's left column: a caption bar that folds
// the group's buttons away and back.
#pragma once

#include <QWidget>

class QToolButton;
class QVBoxLayout;

namespace qrv::app {

class TCategoryPanel : public QWidget {
    Q_OBJECT
  public:
    TCategoryPanel(const QString& caption, QWidget* parent);
    // Appends a widget (a command button) to the group.
    void Add(QWidget* w);
    QToolButton* Header() const { return header_; }
    bool Expanded() const;
    void Set_Expanded(bool expanded);

  private:
    QToolButton* header_;
    QWidget* body_;
    QVBoxLayout* bodyLayout_;
};

} // namespace qrv::app
