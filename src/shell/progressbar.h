// The programming progress bar: keeps the exact value (a single-precision share such as 3.125) and
// shows it as whole percent at most 25 times a second, so that painting never slows the exchange
// of blocks it reports on.
#pragma once

#include <QProgressBar>
#include <QTimer>

namespace irig::shell {

class ProgressBar final : public QProgressBar {
    Q_OBJECT

public:
    explicit ProgressBar(QWidget* parent = nullptr);

    float Exact() const { return exact_; }
    void SetExact(float value);

private:
    float exact_ = 0;
    QTimer showTimer_;
};

}  // namespace irig::shell
