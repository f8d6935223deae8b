// TForm7, the advanced scan settings: the reassembly interval scheme and the
// scheme for interleaved video fragments. Both values are kept for the whole
// run (0 at start) and read when a scan starts.
#pragma once

#include <QDialog>

class QComboBox;

namespace qrv::app {

class TForm7 : public QDialog {
    Q_OBJECT
  public:
    explicit TForm7(QWidget* owner);

    // The interval scheme (0 to 7) and the interleave scheme (0 or 1) last confirmed.
    int IntervalScheme() const { return intervalScheme_; }
    int InterleaveScheme() const { return interleaveScheme_; }

  public slots:
    // "确定": keeps both lists' choices.
    void btnOKClick();
    // "取消": both lists and both values back to the first scheme.
    void btnCancelClick();
    // Escape and the title bar's close button act as "取消".
    void reject() override;

  private:
    QComboBox* cbb1_;
    QComboBox* cbb3_;
    int intervalScheme_ = 0;
    int interleaveScheme_ = 0;
};

} // namespace qrv::app
