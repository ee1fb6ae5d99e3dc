#include "shell/controlhold.h"

namespace irig::shell {

ControlHold::ControlHold(std::initializer_list<QWidget*> controls) {
    for (QWidget* control : controls) {
        controls_.insert(control, Control{control->isEnabled(), 0});
    }
}

void ControlHold::Show(QWidget* widget, const Control& control) {
    widget->setEnabled(control.written && control.heldBy == 0);
}

void ControlHold::SetEnabled(QWidget* control, bool enabled) {
    Control& state = controls_[control];
    state.written = enabled;
    Show(control, state);
}

void ControlHold::Hold(Reason reason, std::initializer_list<QWidget*> controls) {
    reasons_ |= reason;
    for (QWidget* widget : controls) {
        auto it = controls_.find(widget);
        if (it != controls_.end()) {
            it->heldBy |= reason;
            Show(widget, *it);
        }
    }
}

void ControlHold::Release(Reason reason) {
    reasons_ &= ~static_cast<unsigned>(reason);
    for (auto it = controls_.begin(); it != controls_.end(); ++it) {
        if ((it->heldBy & reason) != 0) {
            it->heldBy &= ~static_cast<unsigned>(reason);
            Show(it.key(), *it);
        }
    }
}

}  // namespace irig::shell
