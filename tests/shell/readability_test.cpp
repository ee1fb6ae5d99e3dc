// Every caption and value shows whole, at the desktop's default font and as the suite also runs
// this file (tests/CMakeLists.txt): at QT_SCALE_FACTOR=2 and with a 14 pt application font
// (IRIG_TEST_POINT_SIZE). Each text's width in its font is compared with the room it has, with the
// widest values the unit can make the window show.
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QScrollBar>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QStyleOptionFrame>
#include <QTest>

#include "support/bytes.h"
#include "support/windowtest.h"

namespace irig::test {
namespace {

// The room a control leaves for its text, and the text's size in its font.
struct Fit {
    QSize room;
    QSize text;
};

Fit FitOf(const QWidget* control) {
    const QFontMetrics metrics = control->fontMetrics();
    auto textSize = [&](const QString& text) {
        return QSize(metrics.horizontalAdvance(text), metrics.height());
    };
    if (const auto* label = qobject_cast<const QLabel*>(control)) {
        return {label->contentsRect().size() - QSize(std::max(0, label->indent()), 0),
                textSize(label->text())};
    }
    if (const auto* button = qobject_cast<const QPushButton*>(control)) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        return {
            button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button).size(),
            textSize(button->text())};
    }
    if (const auto* edit = qobject_cast<const QLineEdit*>(control)) {
        QStyleOptionFrame option;
        option.initFrom(edit);
        const QRect contents =
            edit->style()->subElementRect(QStyle::SE_LineEditContents, &option, edit);
        return {contents.size() - QSize(4, 2), textSize(edit->text())};
    }
    if (const auto* list = qobject_cast<const QComboBox*>(control)) {
        QStyleOptionComboBox option;
        option.initFrom(list);
        return {
            list->style()
                ->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, list)
                .size(),
            textSize(list->currentText())};
    }
    return {control->size(), qobject_cast<const QGroupBox*>(control) != nullptr
                                 ? control->minimumSizeHint()
                                 : control->sizeHint()};
}

TEST(Readability, NoCaptionValueOrListTextIsCut) {
    const QFont desktop = QApplication::font();
    if (const int points = qEnvironmentVariableIntValue("IRIG_TEST_POINT_SIZE"); points > 0) {
        QFont large = desktop;
        large.setPointSize(points);
        QApplication::setFont(large);
    }
    {
        FakePortController port;
        shell::IRIG window(port);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        // Internal Crystal, 12/28/2010, 23:58:58, version 25.5; offsets of three digits.
        port.Deliver(Bytes("80 E0 01 01 DA 07 0C 1C 17 3A 3A FF 80 E1"));
        window.findChild<QLineEdit*>(QStringLiteral("txtIrigOffset"))
            ->setText(QStringLiteral("-128"));
        window.findChild<QLineEdit*>(QStringLiteral("txtGpsOffset"))
            ->setText(QStringLiteral(" 127"));
        auto* list = window.findChild<QComboBox*>(QStringLiteral("cmbComPort"));
        list->setCurrentIndex(4095);
        ASSERT_EQ(window.findChild<QLabel*>(QStringLiteral("lblSourceData"))->text(),
                  QStringLiteral("Internal Crystal"));

        int checked = 0;
        for (const QWidget* control : window.centralWidget()->findChildren<QWidget*>()) {
            const bool ours =
                !control->objectName().isEmpty() && (qobject_cast<const QLabel*>(control) ||
                                                     qobject_cast<const QPushButton*>(control) ||
                                                     qobject_cast<const QLineEdit*>(control) ||
                                                     qobject_cast<const QComboBox*>(control) ||
                                                     qobject_cast<const QCheckBox*>(control) ||
                                                     qobject_cast<const QGroupBox*>(control));
            if (!ours) {
                continue;
            }
            const Fit fit = FitOf(control);
            EXPECT_LE(fit.text.width(), fit.room.width()) << control->objectName().toStdString();
            EXPECT_LE(fit.text.height(), fit.room.height()) << control->objectName().toStdString();
            ++checked;
        }
        EXPECT_EQ(checked, 28);

        // The open list shows "COM4096" whole, also in bold.
        QFont bold = list->font();
        bold.setBold(true);
        const QAbstractItemView* view = list->view();
        EXPECT_LE(QFontMetrics(bold).horizontalAdvance(QStringLiteral("COM4096")) +
                      view->verticalScrollBar()->sizeHint().width(),
                  view->minimumWidth());
    }
    QApplication::setFont(desktop);
}

}  // namespace
}  // namespace irig::test
