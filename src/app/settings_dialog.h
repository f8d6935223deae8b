// TForm3, the settings dialog of the two operations that read a whole source
// range: the scan page ("扫描设置") and the imaging page ("镜像设置"). Only the
// page of the command that opened it is shown. The dialog is modeless; the
// main window stays disabled while it is open and is enabled again however
// it closes.
#pragma once

#include <QDialog>

#include "media/tree_data.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTimer;

namespace qrv::app {

class TForm1;

class TForm3 : public QDialog {
    Q_OBJECT
  public:
    explicit TForm3(TForm1* main);

    // What the scan command resets before it checks the source: the fields
    // filled from the source, the result-file choice, the mode and the type.
    void Clear_ScanPage();
    // Fills the scan page from the source and shows it.
    void Show_ScanPage(const TTreeData& node);
    // What the imaging command resets before it checks the source.
    void Clear_ImagePage();
    // Fills the imaging page from the source and shows it.
    void Show_ImagePage(const TTreeData& node);

  public slots:
    // Scan page.
    void Reset_ScanRange();       // "默认": the whole source again
    void btnBrowsClick();         // the folder of the scan-result file
    void Open_AdvancedSettings(); // "高级设置"
    void btnStartScanClick();
    void btnScanCacelClick(); // also the imaging page's "取消(&E)"
    void tmr1Timer();         // the prompt to save the scan results, once per show
    // Imaging page.
    void Reset_ImageRange();   // "默认": the whole source again
    void Choose_ImageFolder(); // "...": the image file's folder
    void btnToImageClick();
    // Escape acts as the shown page's "取消(&E)": the main window takes input again.
    void reject() override;

  protected:
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

  private:
    // Each page is its group boxes from the top and its buttons below them.
    QWidget* Build_ScanPage();
    QGroupBox* Build_ScanRange(QWidget* page);
    QGroupBox* Build_TimeStandard(QWidget* page);
    QGroupBox* Build_RecoveryType(QWidget* page);
    QGroupBox* Build_DateWindow(QWidget* page);
    QGroupBox* Build_ScanResult(QWidget* page);
    QWidget* Build_ImagePage();
    QGroupBox* Build_ImageRange(QWidget* page);
    QGroupBox* Build_ImageTarget(QWidget* page);
    QGroupBox* Build_ImageFormat(QWidget* page);
    void Load_ImageFormat();
    void Save_ImageFormat();
    void Show_Page(int page);
    void chk1Click(bool checked);
    void chk2Click(bool checked);

    TForm1* main_;
    TTreeData node_; // the source the shown page was filled from
    QTabWidget* pages_ = nullptr;
    QWidget* scanPage_ = nullptr;
    QWidget* imagePage_ = nullptr;
    int page_ = 0; // the page shown
    QTimer* tmr1_ = nullptr;
    // Scan page.
    QLineEdit* edtMediaModel_ = nullptr;
    QLabel* lblFS_ = nullptr;
    QComboBox* cbb1_ = nullptr;
    QLabel* lblcap_ = nullptr;
    QLabel* lblTolalsec_ = nullptr;
    QLineEdit* edtStartSec_ = nullptr;
    QLineEdit* edtEndSec_ = nullptr;
    QRadioButton* rb1_ = nullptr;
    QRadioButton* rb2_ = nullptr;
    QComboBox* cbb2_ = nullptr;
    QCheckBox* chk2_ = nullptr;
    QLineEdit* medtStarData_ = nullptr;
    QLineEdit* medtEndData_ = nullptr;
    QCheckBox* chk1_ = nullptr;
    QLineEdit* edtScanResultSavepath_ = nullptr;
    QPushButton* btnBrows_ = nullptr;
    // Imaging page.
    QLineEdit* edt1_ = nullptr;
    QLabel* lbl4_ = nullptr;
    QLineEdit* edt3_ = nullptr;
    QLineEdit* edt2_ = nullptr;
    QLabel* lbl18_ = nullptr;
    QLabel* lbl15_ = nullptr;
    QLabel* lbl22_ = nullptr;
    QLineEdit* edt4_ = nullptr;
    // Imaging page: format, E01 compression and case data.
    QComboBox* cmbImageFormat_ = nullptr;
    QComboBox* cmbImageCompression_ = nullptr;
    QLineEdit* edtCaseNumber_ = nullptr;
    QLineEdit* edtEvidenceNumber_ = nullptr;
    QLineEdit* edtExaminer_ = nullptr;
    QLineEdit* edtDescription_ = nullptr;
    QLineEdit* edtNotes_ = nullptr;
};

} // namespace qrv::app
