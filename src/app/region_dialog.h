// TForm4, the region dialog: shows the focused source and takes a sector
// range of it (first sector and count, at least 64 sectors); confirming adds
// the regions found in that range under the source. Modeless; the main window
// stays disabled while it is open.
#pragma once

#include <QDialog>

#include "media/tree_data.h"

class QLabel;
class QLineEdit;

namespace qrv::app {

class TForm1;

class TForm4 : public QDialog {
    Q_OBJECT
  public:
    explicit TForm4(TForm1* main);

    // Fills the dialog from the source and shows it.
    void Show_For(const TTreeData& node);

  public slots:
    void btnToImageClick();   // "确认(&Y)"
    void Reset_RegionCount(); // "默认": the sectors from the start to the source's end
    void Cancel_Region();     // "取消(&E)"

    // Escape acts as "取消(&E)".
    void reject() override;

  protected:
    void closeEvent(QCloseEvent* e) override;

  private:
    TForm1* main_;
    QLineEdit* edtModel_;
    QLabel* lblFS_;
    QLabel* lblCap_;
    QLabel* lblTotalSec_;
    QLabel* lblPerSecByte_;
    QLineEdit* edtStartSec_;
    QLineEdit* edtSecCount_;
};

} // namespace qrv::app
