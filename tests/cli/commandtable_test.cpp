// irigctl's commands as they are declared, against what --help shows, what the manual page lists
// and what the bash completion offers: every command and every option of each, whether it takes
// a value, and nothing else.
#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <map>
#include <set>

#include "cli/commandline.h"
#include "irigctl/commands.h"

namespace irig::cli {
namespace {

using Names = std::set<QString>;

const QString kRoot = QStringLiteral(IRIG_SOURCE_DIR);

std::string Shown(const Names& names) {
    QStringList list(names.begin(), names.end());
    return list.join(QLatin1Char(' ')).toStdString();
}

// Each command's long options as declared, --help included.
std::map<QString, Names> Declared() {
    std::map<QString, Names> declared;
    for (const Command* command : irigctl::AllCommands()) {
        Names& options = declared[QLatin1String(command->name)];
        options.insert(QStringLiteral("--help"));
        for (const Option* option : command->options) {
            options.insert(QStringLiteral("--") + QLatin1String(option->name));
        }
    }
    return declared;
}

// The commands that declare `option`, and whether it takes a value there.
Names Declaring(const QString& option, bool* takesValue = nullptr) {
    Names commands;
    for (const Command* command : irigctl::AllCommands()) {
        if (const Option* declared = command->Find(option.mid(2))) {
            commands.insert(QLatin1String(command->name));
            if (takesValue != nullptr) {
                *takesValue = declared->value != nullptr;
            }
        }
    }
    return commands;
}

Names Keys(const std::map<QString, Names>& map) {
    Names keys;
    for (const auto& [key, value] : map) {
        keys.insert(key);
    }
    return keys;
}

QString Help(const QStringList& words) {
    return ParseCommandLine(QStringList{QStringLiteral("irigctl")} + words, irigctl::AllCommands())
        .text;
}

// The lines of `text` from the one that is `heading` to the next empty one.
QStringList Section(const QString& text, const QString& heading) {
    const QStringList lines = text.split(QLatin1Char('\n'));
    const qsizetype from = lines.indexOf(heading) + 1;
    const qsizetype to = lines.indexOf(QString(), from);
    return lines.mid(from, to - from);
}

TEST(CommandTable, TheHelpShowsEveryCommandAndEachOfItsOptions) {
    const std::map<QString, Names> declared = Declared();
    Names listed;
    for (const QString& line :
         Section(Help({QStringLiteral("--help")}), QStringLiteral("Commands:"))) {
        listed.insert(line.simplified().section(QLatin1Char(' '), 0, 0));
    }
    EXPECT_EQ(Shown(listed), Shown(Keys(declared)));
    static const QRegularExpression option(QStringLiteral("^  (?:-\\w, )?(--[\\w-]+)( <)?"));
    for (const auto& [command, options] : declared) {
        Names shown;
        const QString help = Help({command, QStringLiteral("--help")});
        for (const QString& line : Section(help, QStringLiteral("Options:")) +
                                       Section(help, QStringLiteral("Common options:"))) {
            if (const QRegularExpressionMatch match = option.match(line); match.hasMatch()) {
                shown.insert(match.captured(1));
                bool takesValue = false;
                Declaring(match.captured(1), &takesValue);
                EXPECT_EQ(match.hasCaptured(2), takesValue) << line.toStdString();
            }
        }
        EXPECT_EQ(Shown(shown), Shown(options)) << command.toStdString();
    }
}

// The manual page's entries of one section: what follows each .TP, up to the next.
QStringList ManualEntries(const QString& section) {
    QFile file(kRoot + QStringLiteral("/packaging/man/irigctl.1.in"));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    QString page =
        QString::fromUtf8(file.readAll()).replace(QStringLiteral("\\-"), QStringLiteral("-"));
    page = page.section(QStringLiteral("\n.SH ") + section + QLatin1Char('\n'), 1, 1);
    return page.section(QStringLiteral("\n.SH "), 0, 0).split(QStringLiteral(".TP\n")).mid(1);
}

TEST(CommandTable, TheManualPageListsEveryCommandAndOption) {
    Names commands;
    for (const QString& entry : ManualEntries(QStringLiteral("COMMANDS"))) {
        const QString name = entry.section(QLatin1Char('\n'), 0, 0).section(QLatin1Char(' '), 1, 1);
        commands.insert(name);
        for (const Command* command : irigctl::AllCommands()) {
            if (name == QLatin1String(command->name)) {
                EXPECT_EQ(entry.startsWith(QLatin1String(".BI ")), command->argument != nullptr)
                    << "the argument of " << name.toStdString();
            }
        }
    }
    EXPECT_EQ(Shown(commands), Shown(Keys(Declared())));

    Names every{QStringLiteral("--version")};
    for (const auto& [command, options] : Declared()) {
        every.insert(options.begin(), options.end());
    }
    Names listed;
    static const QRegularExpression longName(QStringLiteral("--[a-z0-9-]+"));
    static const QRegularExpression forCommand(QStringLiteral("^For\n\\.BR (\\S+) :"),
                                               QRegularExpression::MultilineOption);
    for (const QString& entry : ManualEntries(QStringLiteral("OPTIONS"))) {
        const QString heading = entry.section(QLatin1Char('\n'), 0, 0);
        const QString name = longName.match(heading).captured();
        listed.insert(name);
        bool takesValue = false;
        const Names declaring = Declaring(name, &takesValue);
        EXPECT_EQ(
            heading.startsWith(QLatin1String(".BI ")) || heading.contains(QLatin1String("\\fI")),
            takesValue)
            << heading.toStdString();
        // "For flash:" where one command takes it; otherwise several do, or every command.
        if (const QRegularExpressionMatch only = forCommand.match(entry); only.hasMatch()) {
            EXPECT_EQ(Shown(declaring), only.captured(1).toStdString()) << name.toStdString();
        } else if (name != QLatin1String("--help") && name != QLatin1String("--version")) {
            EXPECT_GT(declaring.size(), size_t{1}) << name.toStdString() << " needs a For";
        }
    }
    EXPECT_EQ(Shown(listed), Shown(every));
}

// What the completion offers for each line, bash-completion's helpers stood in for; a line of
// output for each.
QStringList Offered(const QList<QStringList>& lines) {
    QString script = QStringLiteral(
        "_init_completion() { words=(\"${COMP_WORDS[@]}\"); cword=$COMP_CWORD; "
        "cur=${words[cword]}; prev=${words[cword-1]}; }\n"
        "_filedir() { :; }\n"
        "source \"$0\"\n"
        "offer() { COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); COMPREPLY=(); _irigctl; "
        "echo \"${COMPREPLY[*]}\"; }\n");
    for (const QStringList& words : lines) {
        script += QStringLiteral("offer irigctl '%1'\n").arg(words.join(QStringLiteral("' '")));
    }
    QProcess bash;
    bash.start(QStringLiteral("bash"), {QStringLiteral("--norc"), QStringLiteral("-c"), script,
                                        kRoot + QStringLiteral("/packaging/completion/irigctl")});
    EXPECT_TRUE(bash.waitForFinished(60'000));
    EXPECT_EQ(bash.exitCode(), 0) << bash.readAllStandardError().toStdString();
    return QString::fromUtf8(bash.readAllStandardOutput()).split(QLatin1Char('\n'));
}

Names Words(const QString& line) {
    const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    return {words.begin(), words.end()};
}

TEST(CommandTable, TheCompletionOffersEveryCommandAndEachOfItsOptions) {
    const std::map<QString, Names> declared = Declared();
    // The commands; each command's options; after each option, its value (so no option) or the
    // next option.
    QList<QStringList> lines{{QString()}};
    for (const auto& [command, options] : declared) {
        lines.append({command, QStringLiteral("--")});
        for (const QString& option : options) {
            lines.append({command, option, QStringLiteral("-")});
        }
    }
    const QStringList offered = Offered(lines);
    ASSERT_GT(offered.size(), lines.size()) << offered.join('\n').toStdString();
    EXPECT_EQ(Shown(Words(offered[0])), Shown(Keys(declared)));
    qsizetype line = 1;
    for (const auto& [command, options] : declared) {
        EXPECT_EQ(Shown(Words(offered[line++])), Shown(options)) << command.toStdString();
        for (const QString& option : options) {
            bool takesValue = false;
            Declaring(option, &takesValue);
            EXPECT_EQ(offered[line++].isEmpty(), takesValue)
                << command.toStdString() << " " << option.toStdString()
                << (takesValue ? ": an option offered for its value"
                               : ": nothing offered after it");
        }
    }
}

}  // namespace
}  // namespace irig::cli
