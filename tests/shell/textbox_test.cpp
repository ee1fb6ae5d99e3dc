#include "shell/textbox.h"

#include <gtest/gtest.h>

#include <QTest>

namespace irig::shell {
namespace {

TEST(TextBox, TextReadsBackExactlyAndTheDisplayCatchesUp) {
    TextBox box;
    box.setText(QStringLiteral("Initalizing flash image\r\n"));
    box.appendText(QStringLiteral("Program ID: "));
    box.appendText(QStringLiteral("ABC"));
    box.appendText(QStringLiteral("Re-Boot Complete\r\n"));
    EXPECT_EQ(box.text(),
              QStringLiteral("Initalizing flash image\r\nProgram ID: ABCRe-Boot Complete\r\n"));
    box.showLatest();
    EXPECT_EQ(box.toPlainText(),
              QStringLiteral("Initalizing flash image\nProgram ID: ABCRe-Boot Complete\n"));
}

TEST(TextBox, ReplacingTheTextDropsWhatWasWaitingToBeShown) {
    TextBox box;
    box.appendText(QStringLiteral("old\r\n"));
    box.setText(QStringLiteral("Com port COM2 opened."));
    QTest::qWait(60);
    EXPECT_EQ(box.text(), QStringLiteral("Com port COM2 opened."));
    EXPECT_EQ(box.toPlainText(), QStringLiteral("Com port COM2 opened."));
}

}  // namespace
}  // namespace irig::shell
