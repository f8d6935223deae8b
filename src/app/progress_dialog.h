// TForm2, the progress dialog every long operation shares: two gauges, a stop
// button and four status panels (elapsed time, operation label and total,
// two status texts). Workers reach it through the progress start and end
// events; everything between is polled from the operation state: the gauges,
// the status texts and the second gauge's range several times a second
// (tmrPoll), the elapsed time and the written or judged counter once a
// second (tmr1).
#pragma once

#include <QDialog>

#include <memory>

#include "common/op_state.h"

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

    // Progress start: the timers run, the dialog shows, g1 ranges 0..total,
    // g2 0..0, panel 1 = label + total, the other panels empty until the
    // next poll fills them.
    void Progress_Start(int64_t total, const QString& label);
    // Progress end: the timers stop and the dialog closes.
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
    // Takes what changed in the progress record (status texts, the second
    // gauge's range) and moves the gauges.
    void Poll_Progress();

  public slots:
    // The one-second refresh: a poll, then elapsed time and written amount
    // or judged blocks.
    void tmr1Timer();
    // The stop request: asks, and on OK sets the stop flag.
    void Ask_Stop();
    // Closes the dialog.
    void Hide_Progress();
    // Escape and the title bar's close button ask to stop, as the stop
    // button does; the dialog stays while the operation runs.
    void reject() override;

    // The operation the dialog shows and its stop button stops.
    void Set_Op(std::shared_ptr<TOpState> op);

  private:
    std::shared_ptr<TOpState> op_ = std::make_shared<TOpState>();
    QProgressBar* g1_;
    QProgressBar* g2_;
    QPushButton* btn1_;
    QPushButton* btn2_;
    QFrame* pnl3_;
    QStatusBar* stat1_;
    QLabel* panels_[4];
    QTimer* tmr1_;
    QTimer* tmrPoll_;
    uint64_t shownVersion_ = 0; // progress record version last shown
    uint64_t shownSets2_ = 0, shownSets3_ = 0;
    int64_t shownTotal2_ = 0; // second gauge total last set
};

} // namespace qrv::app
