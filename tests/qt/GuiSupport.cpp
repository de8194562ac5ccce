#include "GuiSupport.h"

#include "job/JobFlags.h"
#include "job/Panel.h"

namespace qmb::test {

bool IsIdle(qt::EditorApp& editor) {
    // A click just as a job ended hands the next job's start to the ending
    // worker, and the panel looks idle until that worker carries it out.
    if ((JobFlags.load() & kJobBusy) != 0 || qt::LiveWorkers() != 0) return false;
    for (int id : {IDC_READ, IDC_WRITE, IDC_TAT, IDC_LOOP}) {
        if (!ControlOf(editor, id)->isEnabled()) return false;
    }
    return TextOf(editor, IDC_TAT) == QLatin1String(kCaptionTat) &&
           TextOf(editor, IDC_LOOP) == QLatin1String(kCaptionLoop) &&
           TextOf(editor, IDC_STATUS) == QLatin1String(kStatusReady) &&
           TextOf(editor, IDC_PORT_STATUS) == QLatin1String(kPortClosed);
}

QString DescribePanel(qt::EditorApp& editor) {
    QString out;
    for (int id : {IDC_READ, IDC_WRITE, IDC_TAT, IDC_LOOP, IDC_STATUS, IDC_PORT_STATUS, IDC_CLOCK,
                   IDC_SECTION, IDC_LENGTH}) {
        QWidget* control = ControlOf(editor, id);
        out += QStringLiteral("%1=\"%2\"%3 ")
                   .arg(id)
                   .arg(TextOf(editor, id))
                   .arg(control->isEnabled() ? "" : "(disabled)");
    }
    return out;
}

}  // namespace qmb::test
