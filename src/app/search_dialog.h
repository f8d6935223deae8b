// TForm6, the search dialog ("搜索文件"): a date range and an optional camera
// model text. Confirming closes the dialog and starts the search over the
// results list; the search checks exactly the rows that match.
#pragma once

#include <QDialog>

class QLineEdit;

namespace qrv::app {

class TForm1;

class TForm6 : public QDialog {
    Q_OBJECT
  public:
    explicit TForm6(TForm1* main);

    // Centres the dialog on the main window and shows it.
    void Show_Centred();

  public slots:
    void Confirm_Search(); // "确定": closes the dialog and starts the search
    void Cancel_Search();  // "取消"

  private:
    TForm1* main_;
    QLineEdit* medtStarData_;
    QLineEdit* medtEndData_;
    QLineEdit* edt1_;
};

} // namespace qrv::app
