#include "lease/netrc.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <vector>

namespace irig::lease {

namespace {

bool Space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// The tokens of a netrc file: words between blanks, or a double-quoted word in which \" \\ \n \t
// stand for what they say. A macdef's body, which ends at an empty line, is no token.
std::vector<QByteArray> Tokens(const QByteArray& text) {
    std::vector<QByteArray> tokens;
    qsizetype i = 0;
    const qsizetype size = text.size();
    while (i < size) {
        if (Space(text[i])) {
            ++i;
            continue;
        }
        QByteArray token;
        if (text[i] == '"') {
            for (++i; i < size && text[i] != '"'; ++i) {
                if (text[i] == '\\' && i + 1 < size) {
                    ++i;
                    token.append(text[i] == 'n' ? '\n' : text[i] == 't' ? '\t' : text[i]);
                } else {
                    token.append(text[i]);
                }
            }
            ++i;  // the closing quote
        } else {
            const qsizetype start = i;
            while (i < size && !Space(text[i])) {
                ++i;
            }
            token = text.mid(start, i - start);
        }
        if (token == "macdef") {
            const qsizetype end = text.indexOf("\n\n", i);
            i = end < 0 ? size : end + 2;
            continue;
        }
        tokens.push_back(token);
    }
    return tokens;
}

}  // namespace

std::optional<Credentials> NetrcCredentials(const QByteArray& netrc, const QString& host) {
    const std::vector<QByteArray> tokens = Tokens(netrc);
    std::optional<Credentials> matched;
    std::optional<Credentials> fallback;
    std::optional<Credentials>* entry = nullptr;  // the entry being read, when it counts
    for (size_t i = 0; i < tokens.size(); ++i) {
        const QByteArray& token = tokens[i];
        const bool hasValue = i + 1 < tokens.size();
        if (token == "machine" && hasValue) {
            if (matched) {
                break;  // the first matching entry is whole
            }
            const bool same =
                QString::fromUtf8(tokens[++i]).compare(host, Qt::CaseInsensitive) == 0;
            entry = same ? &matched : nullptr;
            if (same) {
                matched.emplace();
            }
        } else if (token == "default") {
            if (matched) {
                break;
            }
            entry = fallback ? nullptr : &fallback;
            if (entry != nullptr) {
                fallback.emplace();
            }
        } else if ((token == "login" || token == "password") && hasValue) {
            const QString value = QString::fromUtf8(tokens[++i]);
            if (entry != nullptr) {
                ((token == "login") ? (*entry)->login : (*entry)->password) = value;
            }
        } else if (token == "account" && hasValue) {
            ++i;
        }
    }
    const std::optional<Credentials>& found = matched ? matched : fallback;
    if (!found || found->login.isEmpty()) {
        return std::nullopt;
    }
    return found;
}

QString NetrcPath() {
    const QString named = qEnvironmentVariable(kNetrcVariable);
    return named.isEmpty() ? QDir::homePath() + QStringLiteral("/.netrc") : named;
}

std::optional<Credentials> NetrcCredentialsFor(const QString& host) {
    const QString path = NetrcPath();
    const QFileInfo info(path);
    QFile file(path);
    if (!info.isFile() || info.size() > kMostNetrcBytes || !file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    return NetrcCredentials(file.read(kMostNetrcBytes), host);
}

}  // namespace irig::lease
