#include "shell/textbox.h"

#include <QScrollBar>

namespace irig::shell {

namespace {

QString ForDisplay(QString text) {
    return text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
}

}  // namespace

TextBox::TextBox(QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setFocusPolicy(Qt::StrongFocus);
    setTabChangesFocus(true);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setUndoRedoEnabled(false);
    flushTimer_.setSingleShot(true);
    flushTimer_.setInterval(40);
    connect(&flushTimer_, &QTimer::timeout, this, &TextBox::flush);
}

void TextBox::setText(const QString& text) {
    text_ = text;
    pending_.clear();
    flushTimer_.stop();
    setPlainText(ForDisplay(text));
}

void TextBox::appendText(const QString& piece) {
    text_ += piece;
    pending_ += piece;
    if (!flushTimer_.isActive()) {
        flushTimer_.start();
    }
}

void TextBox::showLatest() {
    flush();
    repaint();
}

void TextBox::flush() {
    flushTimer_.stop();
    if (!pending_.isEmpty()) {
        QTextCursor end(document());
        end.movePosition(QTextCursor::End);
        end.insertText(ForDisplay(pending_));
        pending_.clear();
    }
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

}  // namespace irig::shell
