// A temporary port map folder for one test: points XDG_CONFIG_HOME at a fresh folder for the test's
// lifetime and lets the test map COMn names to devices with symlinks; and a device that comes and
// goes under it.
#pragma once

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace irig::test {

class TempPortMap {
public:
    TempPortMap()
        : previous_(qgetenv("XDG_CONFIG_HOME")),
          hadPrevious_(qEnvironmentVariableIsSet("XDG_CONFIG_HOME")) {
        qputenv("XDG_CONFIG_HOME", config_.path().toLocal8Bit());
        QDir().mkpath(Ports());
    }
    ~TempPortMap() {
        if (hadPrevious_) {
            qputenv("XDG_CONFIG_HOME", previous_);
        } else {
            qunsetenv("XDG_CONFIG_HOME");
        }
    }
    TempPortMap(const TempPortMap&) = delete;
    TempPortMap& operator=(const TempPortMap&) = delete;

    QString Config() const { return config_.path(); }
    QString Ports() const { return config_.path() + QStringLiteral("/irig-config/ports"); }
    QString Entry(const QString& name) const { return Ports() + QLatin1Char('/') + name; }
    bool Map(const QString& name, const QString& target) const {
        QFile::remove(Entry(name));
        return QFile::link(target, Entry(name));
    }

private:
    QTemporaryDir config_;
    QByteArray previous_;
    bool hadPrevious_;
};

// A device file, plugged (made) and unplugged (removed) at will, in a temporary port map's world.
struct PluggableDevice {
    bool Plug() const {
        QFile file(device);
        return file.open(QIODevice::WriteOnly);
    }
    bool Unplug() const { return QFile::remove(device); }

    TempPortMap map;
    QTemporaryDir dir;
    QString device = dir.filePath(QStringLiteral("ttyUSB0"));
};

}  // namespace irig::test
