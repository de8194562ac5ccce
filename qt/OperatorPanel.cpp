#include "qt/OperatorPanel.h"

#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QPaintEvent>
#include <QPainter>
#include <QPushButton>
#include <QTimerEvent>

#include "job/Indicators.h"
#include "job/Panel.h"
#include "job/StartAbort.h"
#include "link/PosixPort.h"
#include "qt/DialogUnits.h"
#include "qt/PanelControls.h"
#include "qt/PanelFonts.h"

namespace qmb::qt {

namespace {

enum class Kind { kStatic, kRule, kCombo, kButton, kHexEdit, kSectionEdit };

// Static styles.
enum Frame { kNoFrame, kStaticEdge, kClientEdge };

struct ControlTemplate {
    int id;
    Kind kind;
    const char* text;
    int x, y, width, height;  // dialog units
    Qt::Alignment alignment;
    Frame frame;
};

// The panel's controls in template order, which is the order of creation.
// The combo box's height is that of its open list.
const ControlTemplate kTemplate[] = {
    {IDC_PORT_STATUS, Kind::kStatic, "", 228, 212, 34, 10, Qt::AlignCenter, kStaticEdge},
    {-1, Kind::kRule, "", 0, 210, 295, 1, Qt::AlignCenter, kStaticEdge},
    {IDC_CLOCK, Kind::kStatic, "", 196, 212, 30, 10, Qt::AlignCenter, kStaticEdge},
    {IDC_STATUS, Kind::kStatic, "", 2, 213, 180, 10, Qt::AlignLeft | Qt::AlignVCenter, kNoFrame},
    {IDC_PORT, Kind::kCombo, "", 230, 4, 41, 105, {}, kNoFrame},
    {IDC_TAT, Kind::kButton, kCaptionTat, 184, 4, 43, 13, {}, kNoFrame},
    {IDC_WRITE, Kind::kButton, "Write", 85, 4, 28, 13, {}, kNoFrame},
    {IDC_READ, Kind::kButton, "Read", 4, 4, 29, 13, {}, kNoFrame},
    {IDC_HEX, Kind::kHexEdit, "", 4, 21, 267, 185, {}, kNoFrame},
    {IDC_SECTION, Kind::kSectionEdit, "", 36, 5, 19, 12, Qt::AlignCenter, kNoFrame},
    {IDC_LENGTH, Kind::kStatic, "", 58, 5, 24, 12, Qt::AlignCenter, kClientEdge},
    {IDC_LOOP, Kind::kButton, kCaptionLoop, 115, 4, 67, 13, {}, kNoFrame},
};

// A drop-down list shows only its selection box, as tall as the buttons.
constexpr int kClosedComboHeightDlu = 13;

const char* const kPortNames[] = {"COM1", "COM2", "COM3", "COM4"};

void SetFrame(QFrame* frame, Frame style) {
    switch (style) {
        case kNoFrame:
            break;
        case kStaticEdge:  // one pixel: shadow above and left, light below and right
            frame->setFrameStyle(QFrame::Panel | QFrame::Sunken);
            frame->setLineWidth(1);
            break;
        case kClientEdge:  // two pixels, sunken
            frame->setFrameStyle(QFrame::WinPanel | QFrame::Sunken);
            break;
    }
}

QWidget* CreateControl(const ControlTemplate& t, QWidget* parent) {
    const QString text = QString::fromLatin1(t.text);
    switch (t.kind) {
        case Kind::kStatic: {
            auto* label = new QLabel(text, parent);
            label->setTextFormat(Qt::PlainText);
            label->setAlignment(t.alignment);
            SetFrame(label, t.frame);
            return label;
        }
        case Kind::kRule: {
            auto* rule = new QFrame(parent);
            SetFrame(rule, t.frame);
            return rule;
        }
        case Kind::kCombo:
            return new QComboBox(parent);
        case Kind::kButton:
            return new QPushButton(text, parent);
        case Kind::kHexEdit:
            return new HexEdit(parent);
        case Kind::kSectionEdit:
            return new SectionEdit(parent);
    }
    return nullptr;
}

}  // namespace

OperatorPanel::OperatorPanel(QWidget* parent)
    : QWidget(parent),
      lamps_(QStringLiteral(":/lamps.bmp")),
      receiveCell_(kLampCellOff),
      transmitCell_(kLampCellOff) {
    setFont(PanelFont());
    resize(DluToPixelsX(kPanelWidthDlu), DluToPixelsY(kPanelHeightDlu));
    CreateControls();

    const QFont small = SmallFont();
    Control(IDC_CLOCK)->setFont(small);
    Control(IDC_PORT_STATUS)->setFont(small);

    auto* port = static_cast<QComboBox*>(Control(IDC_PORT));
    for (int i = 0; i < 4; ++i) {
        port->addItem(QString::fromLatin1(kPortNames[i]));
        port->setItemData(i, QString::fromStdString(PosixDevicePath(kPortNames[i])),
                          Qt::ToolTipRole);
    }
    port->setCurrentIndex(0);

    const QFont text = TextFont();
    Control(IDC_HEX)->setFont(text);
    Control(IDC_PORT)->setFont(text);

    static_cast<SectionEdit*>(Control(IDC_SECTION))->setText(QStringLiteral("11"));
}

void OperatorPanel::CreateControls() {
    for (const ControlTemplate& t : kTemplate) {
        QWidget* control = CreateControl(t, this);
        control->setObjectName(QString::number(t.id));
        const int height = t.kind == Kind::kCombo ? kClosedComboHeightDlu : t.height;
        control->setGeometry(DluRect(t.x, t.y, t.width, height));
        if (auto* button = qobject_cast<QPushButton*>(control)) {
            const int id = t.id;
            connect(button, &QPushButton::clicked, this,
                    [id] { OnPanelCommand(static_cast<uint32_t>(id)); });
        }
    }
}

QWidget* OperatorPanel::Control(int id) const {
    return findChild<QWidget*>(QString::number(id), Qt::FindDirectChildrenOnly);
}

void OperatorPanel::StartTimers() {
    clockTimer_.start(static_cast<int>(kClockPeriodMs), this);
    lampTimer_.start(static_cast<int>(kLampPeriodMs), this);
}

void OperatorPanel::StopTimers() {
    clockTimer_.stop();
    lampTimer_.stop();
}

QRect OperatorPanel::ReceiveLampRect() {
    return QRect(kReceiveLampX, kReceiveLampY, kLampSize, kLampSize);
}

QRect OperatorPanel::TransmitLampRect() {
    return QRect(kTransmitLampX, kTransmitLampY, kLampSize, kLampSize);
}

void OperatorPanel::timerEvent(QTimerEvent* event) {
    if (event->timerId() == clockTimer_.timerId()) {
        ClockTick();
    } else if (event->timerId() == lampTimer_.timerId()) {
        LampTick();
    } else {
        QWidget::timerEvent(event);
    }
}

void OperatorPanel::ClockTick() {
    char text[kClockTextSize];
    if (qmb::ClockTick(text)) {
        static_cast<QLabel*>(Control(IDC_CLOCK))->setText(QString::fromLatin1(text));
    }
}

// An idle panel costs one flag exchange per lamp and tick, and no painting.
void OperatorPanel::LampTick() {
    const int receive = TakeReceiveLampCell();
    const int transmit = TakeTransmitLampCell();
    if (receive != receiveCell_) {
        receiveCell_ = receive;
        update(ReceiveLampRect());
    }
    if (transmit != transmitCell_) {
        transmitCell_ = transmit;
        update(TransmitLampRect());
    }
}

void OperatorPanel::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    const struct {
        QRect place;
        int cell;
    } lamps[] = {{ReceiveLampRect(), receiveCell_}, {TransmitLampRect(), transmitCell_}};
    for (const auto& lamp : lamps) {
        if (!event->region().intersects(lamp.place)) continue;
        painter.drawPixmap(lamp.place, lamps_,
                           QRect(lamp.cell * kLampSize, 0, kLampSize, kLampSize));
    }
}

bool OperatorPanel::focusNextPrevChild(bool) {
    return false;
}

}  // namespace qmb::qt
