// The port list's entry, told apart from focus the list gets back by itself (its pop-up closing,
// the window activated again), and a mouse wheel over it ignored until it has the focus: a stray
// notch while working elsewhere picks no port. What an entry does is the window's.
#pragma once

#include <QComboBox>
#include <QFocusEvent>
#include <QObject>
#include <functional>

namespace irig::shell {

class ListEntry final : public QObject {
public:
    ListEntry(QComboBox* list, std::function<void()> entered)
        : QObject(list), list_(list), entered_(std::move(entered)) {
        list->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::FocusIn) {
            const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
            if (reason != Qt::PopupFocusReason && reason != Qt::ActiveWindowFocusReason) {
                entered_();
            }
        }
        if (event->type() == QEvent::Wheel && !list_->hasFocus()) {
            return true;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QComboBox* list_;
    std::function<void()> entered_;
};

}  // namespace irig::shell
