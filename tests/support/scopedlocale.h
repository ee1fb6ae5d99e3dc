// Sets the default locale for a scope and gives the previous one back at its end, also when an
// assertion ends a test early.
#pragma once

#include <QLocale>

namespace irig::test {

class ScopedLocale {
public:
    explicit ScopedLocale(const QLocale& locale) { QLocale::setDefault(locale); }
    ~ScopedLocale() { QLocale::setDefault(saved_); }
    ScopedLocale(const ScopedLocale&) = delete;
    ScopedLocale& operator=(const ScopedLocale&) = delete;

private:
    QLocale saved_;
};

}  // namespace irig::test
