// Every caption, value and the status line shows whole, at the desktop's default font and as the
// suite also runs this file (tests/CMakeLists.txt): at QT_SCALE_FACTOR=2 and with a 14 pt
// application font (IRIG_TEST_POINT_SIZE). Each text's width in its font is compared with the room
// it has, with the widest values the unit can make the window show.
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

#include "shell/statuslabel.h"
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

        // The status line shows its text whole, wrapped, or shortened with the whole text in its
        // tooltip; either way nothing runs past its room or the window's edge.
        auto* line = window.findChild<shell::StatusLabel*>(QStringLiteral("statusLine"));
        ASSERT_NE(line, nullptr);
        EXPECT_LE(line->mapTo(&window, QPoint(line->width(), 0)).x(), window.width());
        const QString texts[] = {
            QStringLiteral("COM1 → /dev/ttyUSB0: open"),
            QStringLiteral("COM1 → /dev/ttyUSB0 (FT232R USB UART, FTDI, serial A1234): open  ·  "
                           "host clock NOT synchronised: the unit will take the computer's time "
                           "as it is  ·  set at 12:34:56"),
            QStringLiteral("COM1 lost: the line hung up or the device went away; waiting for its "
                           "port-map link /home/technician/.config/irig-config/ports/COM1, which "
                           "was removed (COM1 is not looked for elsewhere) (or pick a port)  ·  "
                           "Update failed: the line went away; pick the port again, then press "
                           "Program  ·  host clock synchronised (±2 ms)  ·  set at 12:34:56")};
        for (const QString& text : texts) {
            line->SetWholeText(text);
            const QRect room = line->contentsRect();
            const QRect shown = line->fontMetrics().boundingRect(
                room, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, line->text());
            EXPECT_LE(shown.width(), room.width()) << text.toStdString();
            EXPECT_LE(shown.height(), room.height()) << text.toStdString();
            if (line->text() != text) {
                EXPECT_TRUE(line->text().endsWith(QStringLiteral("…")));
                EXPECT_EQ(line->toolTip(), text);
            }
        }
        EXPECT_NE(line->text(), texts[2]) << "the longest is shortened";
    }
    QApplication::setFont(desktop);
}

}  // namespace
}  // namespace irig::test
