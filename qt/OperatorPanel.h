// The operator panel: every control of the panel, created in the panel's
// template order with their texts, styles and places converted from dialog
// units; the 1000 ms clock and the 10 ms lamp timer; job-button clicks.
//
// GUI thread only. Workers reach the controls through QtPanel.
#pragma once

#include <QBasicTimer>
#include <QPixmap>
#include <QRect>
#include <QWidget>

namespace qmb::qt {

// The panel's size in dialog units (it is larger than the window shows).
constexpr int kPanelWidthDlu = 368;
constexpr int kPanelHeightDlu = 267;

class OperatorPanel : public QWidget {
    Q_OBJECT
  public:
    // Creates the controls and fonts, fills the port list (COM1 selected,
    // each entry's tooltip the device path it opens) and puts "11" in
    // IDC_SECTION. The idle state of the buttons and indicators and the
    // timers come after the panel seam is bound: Start().
    explicit OperatorPanel(QWidget* parent);

    // The control with this id (objectName is the id in decimal), or nullptr.
    QWidget* Control(int id) const;

    // Starts and stops the clock (1000 ms) and lamp (10 ms) timers.
    void StartTimers();
    void StopTimers();

    // What each timer does on its tick. The clock shows the running job's
    // elapsed time in IDC_CLOCK; the lamps take their cells from the lamp
    // flags and are repainted only where a cell changed.
    void ClockTick();
    void LampTick();

    // The places of the two lamps, in the panel's pixels.
    static QRect ReceiveLampRect();
    static QRect TransmitLampRect();
    // The lamp bitmap cells now shown (kLampCellOff, ...Receive, ...Transmit).
    int ReceiveLampCell() const { return receiveCell_; }
    int TransmitLampCell() const { return transmitCell_; }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    // Tab reaches the focused control as an ordinary key; focus moves
    // between the controls by mouse only.
    bool focusNextPrevChild(bool next) override;

  private:
    void CreateControls();

    QPixmap lamps_;
    QBasicTimer clockTimer_;
    QBasicTimer lampTimer_;
    int receiveCell_;
    int transmitCell_;
};

}  // namespace qmb::qt
