// A pseudo-terminal pair made by a test: the test holds the master side, the code under test opens
// the slave side by its path as it would open a serial device.
#pragma once

#include <termios.h>
#include <QByteArray>
#include <QString>

namespace irig::test {

class Pty {
public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const QString& SlavePath() const { return slavePath_; }
    // Writes all bytes to the master side.
    void Write(const QByteArray& bytes);
    // Reads from the master side until `count` bytes have come or `timeoutMs` has passed.
    QByteArray Read(int count, int timeoutMs);
    // The line settings of the slave side (mode requests on the master act on the slave).
    termios Attributes() const;
    // The terminal's size as a program on the slave side reads it.
    void Resize(int columns, int rows);
    // Closes the master side: the slave sees a hang-up.
    void HangUp();

private:
    int master_ = -1;
    QString slavePath_;
};

}  // namespace irig::test
