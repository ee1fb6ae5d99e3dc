#include "shell/progressbar.h"

namespace irig::shell {

ProgressBar::ProgressBar(QWidget* parent) : QProgressBar(parent) {
    setRange(0, 100);
    setValue(0);
    showTimer_.setSingleShot(true);
    showTimer_.setInterval(40);
    connect(&showTimer_, &QTimer::timeout, this, [this] { setValue(static_cast<int>(exact_)); });
}

void ProgressBar::SetExact(float value) {
    exact_ = value;
    if (value == 0) {  // a new session starts from an empty bar at once
        showTimer_.stop();
        setValue(0);
    } else if (!showTimer_.isActive()) {
        showTimer_.start();
    }
}

}  // namespace irig::shell
