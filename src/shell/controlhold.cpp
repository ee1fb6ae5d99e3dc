#include "shell/controlhold.h"

namespace irig::shell {

ControlHold::ControlHold(std::initializer_list<QWidget*> controls) {
    for (QWidget* control : controls) {
        written_.insert(control, control->isEnabled());
    }
}

void ControlHold::SetEnabled(QWidget* control, bool enabled) {
    written_[control] = enabled;
    control->setEnabled(enabled && !held_);
}

void ControlHold::Hold() {
    held_ = true;
    for (auto it = written_.cbegin(); it != written_.cend(); ++it) {
        it.key()->setEnabled(false);
    }
}

void ControlHold::Release() {
    held_ = false;
    for (auto it = written_.cbegin(); it != written_.cend(); ++it) {
        it.key()->setEnabled(it.value());
    }
}

}  // namespace irig::shell
