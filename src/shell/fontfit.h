// Growing the window's design geometry with the desktop's font: the factor by which every place and
// size must grow so that each text shows whole, and the growth itself, which keeps the written
// arrangement of frames and controls.
#pragma once

#include <QList>
#include <QString>
#include <QWidget>

namespace irig::shell {

// A control and the widest text it must show; an empty text stands for the control's own caption.
struct TextRoom {
    QWidget* control;
    QString text;
};

// The size `control` needs to show `text` whole in its font: the text, and the frame, margins and
// decorations its style puts around it at the control's present size.
QSize TextNeed(const QWidget* control, const QString& text);

// The largest ratio of a text's need to its control's room, and never below 1.
double GrowthFor(const QList<TextRoom>& rooms);

// Multiplies the place and size of every control placed in `client` or in one of its frames.
void Grow(QWidget* client, double factor);

}  // namespace irig::shell
