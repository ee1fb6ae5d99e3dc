// The status line's label: its whole text word-wrapped on at most two lines, a text longer than
// that shortened with "…" and given whole in the tooltip. Screen readers always get the whole text.
#pragma once

#include <QLabel>

namespace irig::shell {

class StatusLabel final : public QLabel {
    Q_OBJECT

public:
    explicit StatusLabel(QWidget* parent = nullptr);

    void SetWholeText(const QString& text);
    const QString& WholeText() const { return whole_; }
    // Whether `text` shows whole in the label's present room.
    bool Fits(const QString& text) const;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void Show();

    QString whole_;
};

}  // namespace irig::shell
