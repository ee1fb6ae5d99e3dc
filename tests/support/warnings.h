// Collects the warnings Qt's message handler receives while it lives, instead of printing them.
#pragma once

#include <QStringList>
#include <QtGlobal>

namespace irig::test {

class WarningCatcher {
public:
    WarningCatcher() : previous_(qInstallMessageHandler(&Handle)) { current_ = this; }
    ~WarningCatcher() {
        qInstallMessageHandler(previous_);
        current_ = nullptr;
    }
    WarningCatcher(const WarningCatcher&) = delete;
    WarningCatcher& operator=(const WarningCatcher&) = delete;

    QStringList messages;

private:
    static void Handle(QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (current_ != nullptr && type == QtWarningMsg) {
            current_->messages.append(message);
        }
    }
    static inline WarningCatcher* current_ = nullptr;
    QtMessageHandler previous_;
};

}  // namespace irig::test
