// TForm2, the progress dialog every long operation shares: two gauges, a stop
// button and four status panels (elapsed time, operation label and total,
// two status texts). Workers reach it only through the message channel; its
// one-second timer reads the operation state's counters.
#pragma once

#include <QDialog>

class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;
class QFrame;
class QStatusBar;

namespace qrv::app {

class TForm2 : public QDialog {
    Q_OBJECT
  public:
    explicit TForm2(QWidget* owner);

    // Progress start: the timer runs, the dialog shows, g1 ranges 0..total,
    // g2 0..0, panel 1 = label + total, the other panels empty.
    void Progress_Start(int32_t total, const QString& label, const QString& totalText);
    // Progress end: the timer stops and the dialog closes.
    void Progress_End();
    void Set_Panel(int index, const QString& text);
    QString Panel(int index) const;
    // Second gauge: range 0..total, position 0.
    void Set_SecondRange(int32_t total);
    // The panel holding the second gauge (hidden by the scan, shown by its analysis).
    void Show_SecondGauge(bool visible);
    void Enable_SecondGauge(bool enabled);
    // Moves both gauges to the operation state's counters now (the status
    // texts beside them are set by messages between the timer's ticks).
    void Refresh_Gauges();

  public slots:
    // The one-second refresh: elapsed time, written amount or judged blocks,
    // gauge positions.
    void tmr1Timer();
    // The stop request: asks, and on OK sets the stop flag.
    void btn1Click();
    // Closes the dialog.
    void btn2Click();
    // Escape and the title bar's close button ask to stop, as the stop
    // button does; the dialog stays while the operation runs.
    void reject() override;

  private:
    QProgressBar* g1_;
    QProgressBar* g2_;
    QPushButton* btn1_;
    QPushButton* btn2_;
    QFrame* pnl3_;
    QStatusBar* stat1_;
    QLabel* panels_[4];
    QTimer* tmr1_;
};

} // namespace qrv::app
