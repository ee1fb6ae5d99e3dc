// A multi-line text box whose text reads back exactly as the program wrote it, "\r\n" line ends
// included. Appending costs the length of the piece appended, however long the text already is:
// the exact text grows in place and the display catches up at most 25 times a second.
#pragma once

#include <QPlainTextEdit>
#include <QTimer>
#include <functional>
#include <optional>

class QMenu;

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
    // Writes the text as it reads, in UTF-8 with this platform's line ends; says why it could
    // not, or nothing.
    QString SaveTo(const QString& path) const;

    using FileChooser = std::function<QString()>;
    // The context menu offers "Save Log As…" too, writing where `chooser` says (the save dialog
    // when it is empty; an empty path cancels); SaveFailed says why a save failed.
    void OfferSaveAs(FileChooser chooser);
    // The context menu as it opens: Copy, Select All and, once offered, Save Log As…; the caller
    // owns it.
    QMenu* ContextMenu();

signals:
    void SaveFailed(const QString& why);

private:
    void flush();

    void SaveAs();

    QString text_;
    QString pending_;                        // appended but not yet shown
    std::optional<FileChooser> chooseFile_;  // set once Save Log As is offered
    QTimer flushTimer_;
};

}  // namespace irig::shell
