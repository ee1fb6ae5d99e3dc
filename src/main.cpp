// irig-config: configures and maintains an IRIG-B time-code unit over one serial port.
#include <QApplication>

#include "link/serialportcontroller.h"
#include "shell/irig.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("irig-config"));
    irig::link::SerialPortController comIrig;
    irig::shell::IRIG window(comIrig);
    window.show();
    return QApplication::exec();
}
