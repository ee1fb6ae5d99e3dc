// Fixtures with the real window on the offscreen platform: WindowAccess finds its controls by their
// names; WindowTest drives it through the fake serial component.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <memory>

#include "shell/irig.h"
#include "shell/textbox.h"
#include "support/fakeportcontroller.h"

namespace irig::test {

class WindowAccess : public testing::Test {
protected:
    template <typename Widget>
    Widget* Find(const char* name) const {
        auto* widget = window->findChild<Widget*>(QLatin1String(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    QAbstractButton* Button(const char* name) const { return Find<QAbstractButton>(name); }
    bool Enabled(const char* name) const { return Button(name)->isEnabled(); }
    QString Caption(const char* name) const { return Find<QLabel>(name)->text(); }
    QString Log() const { return Find<shell::TextBox>("txtFlashStatus")->text(); }

    std::unique_ptr<shell::IRIG> window;
};

class WindowTest : public WindowAccess {
protected:
    WindowTest() { window = std::make_unique<shell::IRIG>(port); }
    ~WindowTest() override { window.reset(); }

    // Delivers bytes as one receive event.
    void Receive(const QByteArray& bytes) { port.Deliver(bytes); }

    FakePortController port;
};

}  // namespace irig::test
