// Controls held disabled while something must not be disturbed (a programming session, a closed
// port), which keep the enabled state the rest of the window writes to them meanwhile and show it
// again when nothing holds them any more.
#pragma once

#include <QHash>
#include <QWidget>
#include <initializer_list>

namespace irig::shell {

class ControlHold {
public:
    enum Reason : unsigned { kSession = 1U << 0, kPortClosed = 1U << 1 };

    explicit ControlHold(std::initializer_list<QWidget*> controls);

    // The enabled state the window means the control to have; shown unless held.
    void SetEnabled(QWidget* control, bool enabled);
    // Holds these controls (of those given at construction) disabled for `reason`.
    void Hold(Reason reason, std::initializer_list<QWidget*> controls);
    void Release(Reason reason);
    bool Held(Reason reason) const { return (reasons_ & reason) != 0; }

private:
    struct Control {
        bool written = false;
        unsigned heldBy = 0;
    };
    static void Show(QWidget* widget, const Control& control);

    QHash<QWidget*, Control> controls_;
    unsigned reasons_ = 0;
};

}  // namespace irig::shell
