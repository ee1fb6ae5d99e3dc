#include "support/documents.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "support/firmwarefile.h"
#include "support/portmapfolder.h"
#include "support/simulatedunit.h"
#include "support/wait.h"

#if !defined(IRIGCTL_PATH) || !defined(IRIG_UNIT_SIM_PATH) || !defined(IRIG_SOURCE_DIR)
#error "IRIGCTL_PATH, IRIG_UNIT_SIM_PATH and IRIG_SOURCE_DIR must name the programs and the tree"
#endif

namespace irig::test {

namespace {

QString ReadText(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// A fence that closes `open`: the same character, at least as many, nothing after.
bool Closes(const QString& fence, const QString& rest, const QString& open) {
    return fence.front() == open.front() && fence.size() >= open.size() && rest.trimmed().isEmpty();
}

}  // namespace

QString HeadingAnchor(const QString& heading) {
    static const QRegularExpression linkText(QStringLiteral(R"(\[([^\]]*)\]\([^)]*\))"));
    static const QRegularExpression dropped(QStringLiteral(R"([^\p{L}\p{N}\p{M}\p{Pc} -])"));
    QString anchor = heading;
    anchor.replace(linkText, QStringLiteral("\\1"));
    anchor = anchor.toLower().remove(dropped);
    return anchor.replace(QLatin1Char(' '), QLatin1Char('-'));
}

MarkdownDocument ReadMarkdown(const QString& text) {
    static const QRegularExpression fence(QStringLiteral(R"(^ {0,3}(`{3,}|~{3,})(.*)$)"));
    static const QRegularExpression heading(QStringLiteral(R"(^ {0,3}#{1,6}\s+(.*?)[\s#]*$)"));
    static const QRegularExpression comment(QStringLiteral(R"(^\s*<!--\s*(.*?)\s*-->\s*$)"));
    static const QRegularExpression codeSpan(QStringLiteral("`[^`]*`"));
    static const QRegularExpression link(QStringLiteral(R"(\]\(([^()\s]+)\))"));
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*:"));
    MarkdownDocument document;
    QHash<QString, int> seen;
    QString open;  // the fence of the block being read
    MarkdownBlock block;
    QString mark;  // the comment on the line before
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        const QString& line = lines[i];
        const QRegularExpressionMatch fenced = fence.match(line);
        if (!open.isEmpty()) {
            if (fenced.hasMatch() && Closes(fenced.captured(1), fenced.captured(2), open)) {
                document.blocks.push_back(block);
                open.clear();
            } else {
                block.text += line + QLatin1Char('\n');
            }
            continue;
        }
        if (fenced.hasMatch()) {
            open = fenced.captured(1);
            block = {i + 1, mark, {}};
        } else if (const QRegularExpressionMatch title = heading.match(line); title.hasMatch()) {
            const QString anchor = HeadingAnchor(title.captured(1));
            const int count = seen[anchor]++;
            document.anchors.append(
                count == 0 ? anchor : anchor + QLatin1Char('-') + QString::number(count));
        }
        mark = comment.match(line).captured(1);
        for (const QRegularExpressionMatch& found :
             link.globalMatch(QString(line).remove(codeSpan))) {
            if (!scheme.match(found.captured(1)).hasMatch()) {
                document.relativeLinks.push_back({i + 1, found.captured(1)});
            }
        }
    }
    if (!open.isEmpty()) {
        document.faults.append(
            QStringLiteral("the block at line %1 is never closed").arg(block.line));
    }
    return document;
}

QStringList ProjectDocuments(const QString& root) {
    QStringList documents{QStringLiteral("README.md")};
    for (const QString& name : QDir(root + QStringLiteral("/docs"))
                                   .entryList({QStringLiteral("*.md")}, QDir::Files, QDir::Name)) {
        documents.append(QStringLiteral("docs/") + name);
    }
    return documents;
}

QString BrokenLink(const QString& root, const QString& document, const QString& target) {
    const qsizetype hash = target.indexOf(QLatin1Char('#'));
    const QString path = hash < 0 ? target : target.left(hash);
    const QString anchor = hash < 0 ? QString() : target.mid(hash + 1);
    const QString from = QDir(root).filePath(document);
    const QString file =
        path.isEmpty() ? from : QDir::cleanPath(QFileInfo(from).path() + QLatin1Char('/') + path);
    if (!QFileInfo::exists(file)) {
        return QStringLiteral("%1 is not there").arg(path);
    }
    if (hash < 0) {
        return {};
    }
    if (!file.endsWith(QLatin1String(".md"))) {
        return QStringLiteral("an anchor in %1, which is no Markdown document").arg(path);
    }
    return ReadMarkdown(ReadText(file)).anchors.contains(anchor)
               ? QString()
               : QStringLiteral("%1 has no heading whose anchor is #%2")
                     .arg(QDir(root).relativeFilePath(file), anchor);
}

DocumentExamples Examples(const QString& document, const MarkdownDocument& markdown) {
    static const QRegularExpression runnable(QStringLiteral(R"(^runnable: exit (\d{1,3})$)"));
    static const QRegularExpression file(QStringLiteral(R"(^file: ([\w.-]+)$)"));
    DocumentExamples examples;
    std::map<QString, QByteArray> files;
    for (const MarkdownBlock& block : markdown.blocks) {
        const QString where = QStringLiteral("%1:%2").arg(document).arg(block.line);
        if (const QRegularExpressionMatch claim = runnable.match(block.mark); claim.hasMatch()) {
            examples.runnable.push_back({where, claim.captured(1).toInt(), block.text, files});
        } else if (const QRegularExpressionMatch name = file.match(block.mark); name.hasMatch()) {
            files[name.captured(1)] = block.text.toUtf8();
        } else if (!block.mark.isEmpty()) {
            examples.faults.append(
                QStringLiteral("%1: the mark \"%2\" is not understood").arg(where, block.mark));
        }
    }
    return examples;
}

ExampleRun RunExample(const Example& example, const QString& folder) {
    TempPortMap ports;
    QTemporaryDir dir;
    const QStringList quick{QStringLiteral("--reboot-ms"), QStringLiteral("50")};
    SimulatedUnit com1(ports.Entry(QStringLiteral("COM1")), dir.filePath(QStringLiteral("1.flash")),
                       quick, true);
    SimulatedUnit com2(ports.Entry(QStringLiteral("COM2")), dir.filePath(QStringLiteral("2.flash")),
                       quick + QStringList{QStringLiteral("--firmware"), QStringLiteral("24")},
                       true);
    // The reader's home, whose ~/.config is the port map's.
    const QString home = dir.filePath(QStringLiteral("home"));
    if (!com1.WaitReady() || !com2.WaitReady() || !QDir().mkpath(home) ||
        !QFile::link(ports.Config(), home + QStringLiteral("/.config")) || !QDir().mkpath(folder)) {
        return {-1, {}, QStringLiteral("the simulated units or the folders could not be made")};
    }
    for (const auto& [name, content] : example.files) {
        QFile::remove(folder + QLatin1Char('/') + name);
        WriteFile(folder + QLatin1Char('/') + name, content);
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"),
                       QFileInfo(QStringLiteral(IRIGCTL_PATH)).path() + QLatin1Char(':') +
                           QFileInfo(QStringLiteral(IRIG_UNIT_SIM_PATH)).path() + QLatin1Char(':') +
                           environment.value(QStringLiteral("PATH")));
    environment.insert(QStringLiteral("ANSIBLE_LIBRARY"),
                       QStringLiteral(IRIG_SOURCE_DIR "/packaging/ansible"));
    environment.insert(QStringLiteral("ANSIBLE_LOCAL_TEMP"), dir.filePath(QStringLiteral("tmp")));
    environment.insert(QStringLiteral("ANSIBLE_NOCOLOR"), QStringLiteral("1"));
    environment.insert(QStringLiteral("HOME"), home);
    for (const char* name : {"XDG_CONFIG_HOME", "IRIGCTL_PORT", "IRIGCTL_INVENTORY",
                             "IRIGCTL_MONITOR", "IRIGCTL_WEB_CONFIG"}) {
        environment.remove(QLatin1String(name));
    }
    QProcess shell;
    shell.setProcessEnvironment(environment);
    shell.setWorkingDirectory(folder);
    shell.start(QStringLiteral("sh"), {QStringLiteral("-e"), QStringLiteral("-c"), example.script});
    // The event loop runs meanwhile, so that the simulated units' pipes keep flowing.
    if (!WaitUntil([&] { return shell.state() == QProcess::NotRunning; }, 60'000)) {
        shell.kill();
        shell.waitForFinished();
        return {-1, {}, QStringLiteral("it did not end within 60 s")};
    }
    return {shell.exitStatus() == QProcess::NormalExit ? shell.exitCode() : -1,
            QString::fromLocal8Bit(shell.readAllStandardOutput()),
            QString::fromLocal8Bit(shell.readAllStandardError())};
}

}  // namespace irig::test
