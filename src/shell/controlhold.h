// Controls held disabled while something must not be disturbed (a programming session), which keep
// the enabled state the rest of the window writes to them meanwhile and show it again on release.
#pragma once

#include <QHash>
#include <QWidget>
#include <initializer_list>

namespace irig::shell {

class ControlHold {
public:
    explicit ControlHold(std::initializer_list<QWidget*> controls);

    // The enabled state the window means the control to have; shown unless held.
    void SetEnabled(QWidget* control, bool enabled);
    void Hold();
    void Release();
    bool Held() const { return held_; }

private:
    QHash<QWidget*, bool> written_;
    bool held_ = false;
};

}  // namespace irig::shell
