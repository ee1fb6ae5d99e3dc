#include "shell/statuslabel.h"

namespace irig::shell {

namespace {

constexpr int kLines = 2;
const QString kEllipsis = QStringLiteral("…");

}  // namespace

StatusLabel::StatusLabel(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setWordWrap(true);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setFixedHeight(kLines * fontMetrics().lineSpacing() + 2 * frameWidth() + 2 * margin());
}

bool StatusLabel::Fits(const QString& text) const {
    const QRect room = contentsRect();
    const QRect need = fontMetrics().boundingRect(room, int(alignment()) | Qt::TextWordWrap, text);
    return need.width() <= room.width() && need.height() <= room.height();
}

void StatusLabel::SetWholeText(const QString& text) {
    whole_ = text;
    setAccessibleName(text);
    Show();
}

void StatusLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    Show();
}

// The longest beginning of the text that fits with "…" after it, when the whole does not.
void StatusLabel::Show() {
    if (Fits(whole_)) {
        setText(whole_);
        setToolTip({});
        return;
    }
    qsizetype fitting = 0;
    qsizetype tooLong = whole_.size();
    while (tooLong - fitting > 1) {
        const qsizetype middle = (fitting + tooLong) / 2;
        (Fits(whole_.left(middle) + kEllipsis) ? fitting : tooLong) = middle;
    }
    setText(whole_.left(fitting).trimmed() + kEllipsis);
    setToolTip(whole_);
}

}  // namespace irig::shell
