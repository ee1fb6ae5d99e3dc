// A file for the HEX loader's tests and fuzzer: hands its content over in pieces of at most `chunk`
// bytes, and, when `readable` is given, fails every read past that many bytes as an I/O error
// would.
#pragma once

#include <QIODevice>
#include <algorithm>
#include <cstring>

namespace irig::test {

class ScriptedFile final : public QIODevice {
public:
    explicit ScriptedFile(QByteArray content, qint64 chunk = 64 * 1024, qint64 readable = -1)
        : content_(std::move(content)),
          chunk_(chunk),
          readable_(readable < 0 ? content_.size() : readable) {
        open(QIODevice::ReadOnly);
    }

protected:
    qint64 readData(char* data, qint64 maxSize) override {
        if (pos() >= readable_ && readable_ < content_.size()) {
            setErrorString(QStringLiteral("Input/output error"));
            return -1;
        }
        const qint64 n = std::max<qint64>(0, std::min({maxSize, chunk_, readable_ - pos()}));
        std::memcpy(data, content_.constData() + pos(), static_cast<size_t>(n));
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray content_;
    qint64 chunk_;
    qint64 readable_;
};

}  // namespace irig::test
