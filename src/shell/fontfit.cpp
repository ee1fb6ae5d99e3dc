#include "shell/fontfit.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionFrame>
#include <algorithm>
#include <cmath>

namespace irig::shell {

QSize TextNeed(const QWidget* control, const QString& text) {
    const QFontMetrics metrics = control->fontMetrics();
    if (const auto* label = qobject_cast<const QLabel*>(control)) {
        const int frame = 2 * (label->frameWidth() + label->margin());
        return {metrics.horizontalAdvance(text) + frame + std::max(0, label->indent()),
                metrics.height() + frame};
    }
    if (const auto* edit = qobject_cast<const QLineEdit*>(control)) {
        // The frame, the text margins, and the two pixels a line edit keeps on each side.
        QStyleOptionFrame option;
        option.initFrom(edit);
        const int frame = edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit);
        const QMargins margins = edit->textMargins();
        return {metrics.horizontalAdvance(text) + 2 * frame + margins.left() + margins.right() + 4,
                metrics.height() + 2 * frame + margins.top() + margins.bottom() + 2};
    }
    if (const auto* button = qobject_cast<const QPushButton*>(control)) {
        // The room the style leaves for the caption, and the caption itself.
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = text.isEmpty() ? button->text() : text;
        const QRect contents =
            button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
        return {metrics.horizontalAdvance(option.text) + button->width() - contents.width(),
                metrics.height() + button->height() - contents.height()};
    }
    if (const auto* list = qobject_cast<const QComboBox*>(control)) {
        QStyleOptionComboBox option;
        option.initFrom(list);
        const QRect field = list->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                          QStyle::SC_ComboBoxEditField, list);
        return {metrics.horizontalAdvance(text) + list->width() - field.width(),
                metrics.height() + list->height() - field.height()};
    }
    if (qobject_cast<const QGroupBox*>(control) != nullptr) {
        return control->minimumSizeHint();
    }
    return control->sizeHint();
}

double GrowthFor(const QList<TextRoom>& rooms) {
    double growth = 1.0;
    for (const TextRoom& room : rooms) {
        const QSize need = TextNeed(room.control, room.text);
        const QSize has = room.control->size();
        growth = std::max({growth, static_cast<double>(need.width()) / std::max(1, has.width()),
                           static_cast<double>(need.height()) / std::max(1, has.height())});
    }
    return growth;
}

void Grow(QWidget* client, double factor) {
    auto grow = [factor](const QRect& place) {
        return QRect(static_cast<int>(std::floor(place.x() * factor)),
                     static_cast<int>(std::floor(place.y() * factor)),
                     static_cast<int>(std::ceil(place.width() * factor)),
                     static_cast<int>(std::ceil(place.height() * factor)));
    };
    QList<QWidget*> placed;
    for (QWidget* child : client->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        placed.append(child);
        if (qobject_cast<QGroupBox*>(child) != nullptr) {
            placed += child->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
        }
    }
    for (QWidget* widget : placed) {
        widget->setGeometry(grow(widget->geometry()));
    }
    client->setFixedSize(grow(client->rect()).size());
}

}  // namespace irig::shell
