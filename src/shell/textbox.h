// A multi-line text box whose text reads back exactly as the program wrote it, "\r\n" line ends
// included. Appending costs the length of the piece appended, however long the text already is:
// the exact text grows in place and the display catches up at most 25 times a second.
#pragma once

#include <QPlainTextEdit>
#include <QTimer>

namespace irig::shell {

class TextBox final : public QPlainTextEdit {
    Q_OBJECT

public:
    explicit TextBox(QWidget* parent = nullptr);

    const QString& text() const { return text_; }
    void setText(const QString& text);
    void appendText(const QString& piece);
    // Brings the display up to date, scrolls to the last line and repaints at once.
    void showLatest();

private:
    void flush();

    QString text_;
    QString pending_;  // appended but not yet shown
    QTimer flushTimer_;
};

}  // namespace irig::shell
