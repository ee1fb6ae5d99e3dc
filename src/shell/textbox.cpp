#include "shell/textbox.h"

#include <QFileDialog>
#include <QMenu>
#include <QSaveFile>
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

QString TextBox::SaveTo(const QString& path) const {
    QString written = text_;
    written.replace(QLatin1String("\r\n"), QLatin1String("\n"));
#ifdef Q_OS_WIN
    written.replace(QLatin1String("\n"), QLatin1String("\r\n"));
#endif
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(written.toUtf8()) < 0 || !file.commit()) {
        return file.errorString();
    }
    return {};
}

void TextBox::OfferSaveAs(FileChooser chooser) {
    if (!chooseFile_) {
        setContextMenuPolicy(Qt::CustomContextMenu);
        connect(this, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
            const std::unique_ptr<QMenu> menu(ContextMenu());
            menu->exec(mapToGlobal(at));
        });
    }
    chooseFile_ = std::move(chooser);
}

QMenu* TextBox::ContextMenu() {
    QMenu* menu = createStandardContextMenu();
    if (chooseFile_) {
        menu->addSeparator();
        QAction* save = menu->addAction(QStringLiteral("Save Log As…"));
        save->setObjectName(QStringLiteral("actSaveLogAs"));
        connect(save, &QAction::triggered, this, &TextBox::SaveAs);
    }
    return menu;
}

void TextBox::SaveAs() {
    const QString path = *chooseFile_ ? (*chooseFile_)()
                                      : QFileDialog::getSaveFileName(
                                            this, QStringLiteral("Save Log As"), QString(),
                                            QStringLiteral("Text files (*.txt);;All files (*)"));
    if (path.isEmpty()) {
        return;
    }
    if (const QString why = SaveTo(path); !why.isEmpty()) {
        emit SaveFailed(why);
    }
}

}  // namespace irig::shell
