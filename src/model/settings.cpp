#include "model/settings.h"

#include <QRegularExpression>
#include <QStringList>
#include <cstdlib>

namespace irig::fleet {

namespace {

// A whole number in the table's common spelling; nothing for any other text or one too large.
std::optional<Value> Whole(QStringView text) {
    static const QRegularExpression whole(QStringLiteral("^[-+\u2212]?[0-9]{1,10}$"));
    const QString trimmed = text.trimmed().toString();
    if (!whole.match(trimmed).hasMatch()) {
        return std::nullopt;
    }
    const bool negative = trimmed.front() == QLatin1Char('-') || trimmed.front() == QChar(0x2212);
    const QStringView digits = QStringView(trimmed).mid(trimmed.front().isDigit() ? 0 : 1);
    const Value magnitude = digits.toLongLong();
    return negative ? -magnitude : magnitude;
}

std::optional<bool> Flag(QStringView text) {
    const QString word = text.trimmed().toString().toLower();
    for (const char* yes : {"true", "on", "yes", "1", "y", "t"}) {
        if (word == QLatin1String(yes)) {
            return true;
        }
    }
    for (const char* no : {"false", "off", "no", "0", "n", "f"}) {
        if (word == QLatin1String(no)) {
            return false;
        }
    }
    return std::nullopt;
}

// What a value of the kind is, in a refusal's words for each spelling.
QString Wanted(const SettingRow& row, Spelling spelling) {
    switch (row.kind) {
        case Kind::kHours:
            return QStringLiteral("a whole number of hours from %1 to %2")
                .arg(row.low)
                .arg(row.high);
        case Kind::kFlag:
            return spelling == Spelling::kInventory     ? QStringLiteral("true or false")
                   : spelling == Spelling::kCommandLine ? QStringLiteral("on or off")
                                                        : QStringLiteral("a boolean");
        case Kind::kVersion:
            return spelling == Spelling::kInventory ? QStringLiteral("a version N.N, as \"2.3\"")
                   : spelling == Spelling::kCommandLine ? QStringLiteral("a version N.N, as 2.4")
                                                        : QStringLiteral("a version N.N");
        case Kind::kLimitMs:
            return QStringLiteral("a whole number of milliseconds");
    }
    return {};
}

// The refusal of `text`, in the words each spelling has always used.
QString Refusal(const SettingRow& row, QStringView text, Spelling spelling,
                std::optional<Value> outside) {
    const QString key = QLatin1String(row.key);
    switch (spelling) {
        case Spelling::kInventory:
            if (outside && row.kind == Kind::kLimitMs && *outside < 0) {
                return QStringLiteral("%1 must not be negative").arg(key);
            }
            if (outside && row.kind != Kind::kLimitMs) {
                return QStringLiteral("%1 %2 is outside %3 to %4")
                    .arg(key)
                    .arg(*outside)
                    .arg(row.low)
                    .arg(row.high);
            }
            return row.kind == Kind::kVersion
                       ? QStringLiteral("%1 must be %2; \"%3\" is not")
                             .arg(key, Wanted(row, spelling), text.toString())
                       : QStringLiteral("%1 must be %2").arg(key, Wanted(row, spelling));
        case Spelling::kCommandLine: {
            const QString option =
                QLatin1String("--") + QLatin1String(*row.option ? row.option : row.key);
            return row.kind == Kind::kFlag
                       ? QStringLiteral("%1 must be %2").arg(option, Wanted(row, spelling))
                       : QStringLiteral("%1 \"%2\" is not %3")
                             .arg(option, text.toString(), Wanted(row, spelling));
        }
        case Spelling::kModule:
            return QStringLiteral("%1 \"%2\" is not %3")
                .arg(QLatin1String(row.moduleKey), text.toString(), Wanted(row, spelling));
    }
    return {};
}

}  // namespace

const SettingRow& Row(Setting setting) {
    return kSettings[static_cast<size_t>(setting)];
}

std::optional<Setting> ByKey(QStringView key) {
    for (const SettingRow& row : kSettings) {
        if (key == QLatin1String(row.key)) {
            return row.setting;
        }
    }
    return std::nullopt;
}

std::optional<Setting> ByModuleKey(QStringView key) {
    for (const SettingRow& row : kSettings) {
        if (key == QLatin1String(row.moduleKey)) {
            return row.setting;
        }
    }
    return std::nullopt;
}

QString Keys() {
    QStringList keys;
    for (const SettingRow& row : kSettings) {
        keys << QLatin1String(row.key);
    }
    return keys.join(QLatin1String(", "));
}

QString Show(Setting setting, Value value) {
    switch (Row(setting).kind) {
        case Kind::kFlag:
            return value != 0 ? QStringLiteral("on") : QStringLiteral("off");
        case Kind::kVersion:
            return VersionName(static_cast<int>(value));
        case Kind::kHours:
        case Kind::kLimitMs:
            break;
    }
    return QString::number(value);
}

QString Phrase(Setting setting, Value value) {
    return QString::fromLatin1(Row(setting).phrase).arg(Show(setting, value));
}

QJsonValue Json(Setting setting, Value value) {
    switch (Row(setting).kind) {
        case Kind::kFlag:
            return value != 0;
        case Kind::kVersion:
            return VersionName(static_cast<int>(value));
        case Kind::kHours:
        case Kind::kLimitMs:
            break;
    }
    return value;
}

std::variant<Value, QString> Parse(Setting setting, QStringView text, Spelling spelling) {
    const SettingRow& row = Row(setting);
    std::optional<Value> value;
    switch (row.kind) {
        case Kind::kFlag:
            value = Flag(text);
            break;
        case Kind::kVersion:
            value = VersionTenths(text.trimmed());
            break;
        case Kind::kHours:
        case Kind::kLimitMs:
            value = Whole(text);
            break;
    }
    if (!value) {
        return Refusal(row, text, spelling, std::nullopt);
    }
    if (*value < row.low || *value > row.high) {
        return Refusal(row, text, spelling, value);
    }
    return *value;
}

std::variant<Value, QString> ParseJson(Setting setting, const QJsonValue& value) {
    if (value.isBool() && Row(setting).kind == Kind::kFlag) {
        return Value{value.toBool()};
    }
    const QString text = value.isDouble() ? QString::number(value.toDouble(), 'g', 16)
                         : value.isBool() ? QLatin1String(value.toBool() ? "true" : "false")
                                          : value.toString();
    return Parse(setting, text, Spelling::kModule);
}

std::optional<int> VersionTenths(QStringView text) {
    static const QRegularExpression version(QStringLiteral("^([0-9]{1,2})\\.([0-9])$"));
    const QRegularExpressionMatch match = version.match(text.toString());
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    const int tenths = match.capturedView(1).toInt() * 10 + match.capturedView(2).toInt();
    return tenths <= 255 ? std::optional(tenths) : std::nullopt;
}

QString VersionName(int tenths) {
    return QStringLiteral("%1.%2").arg(tenths / 10).arg(tenths % 10);
}

std::optional<Value> Intended::Get(Setting setting) const {
    switch (setting) {
        case Setting::kIrigOffset:
            return irigOffset;
        case Setting::kGpsOffset:
            return gpsOffset;
        case Setting::kIeee1344:
            return ieee1344 ? std::optional<Value>(*ieee1344) : std::nullopt;
        case Setting::kFirmware:
            return firmware;
        case Setting::kMaxClockOffsetMs:
            return maxClockOffsetMs;
    }
    return std::nullopt;
}

void Intended::Set(Setting setting, Value value) {
    const int whole = static_cast<int>(value);
    switch (setting) {
        case Setting::kIrigOffset:
            irigOffset = whole;
            break;
        case Setting::kGpsOffset:
            gpsOffset = whole;
            break;
        case Setting::kIeee1344:
            ieee1344 = value != 0;
            break;
        case Setting::kFirmware:
            firmware = whole;
            break;
        case Setting::kMaxClockOffsetMs:
            maxClockOffsetMs = whole;
            break;
    }
}

Intended Intended::Over(const Intended& over) const {
    Intended both = *this;
    for (const SettingRow& row : kSettings) {
        if (const std::optional<Value> value = over.Get(row.setting)) {
            both.Set(row.setting, *value);
        }
    }
    return both;
}

std::optional<Value> Observed::Get(Setting setting) const {
    switch (setting) {
        case Setting::kIrigOffset:
            return irigOffset;
        case Setting::kGpsOffset:
            return gpsOffset;
        case Setting::kIeee1344:
            return ieee1344 ? std::optional<Value>(*ieee1344) : std::nullopt;
        case Setting::kFirmware:
            return version;
        case Setting::kMaxClockOffsetMs:
            return clock ? std::optional<Value>(clock->offsetMs) : std::nullopt;
    }
    return std::nullopt;
}

std::vector<Setting> Compared(const Intended& intended, const Observed& observed) {
    std::vector<Setting> compared;
    for (const SettingRow& row : kSettings) {
        if (intended.Get(row.setting) && observed.Get(row.setting)) {
            compared.push_back(row.setting);
        }
    }
    return compared;
}

std::vector<Drift> Compare(const Intended& intended, const Observed& observed) {
    std::vector<Drift> drifts;
    for (const Setting setting : Compared(intended, observed)) {
        const Value wanted = *intended.Get(setting);
        const Value seen = *observed.Get(setting);
        const bool drifted =
            Row(setting).kind == Kind::kLimitMs
                ? std::llabs(observed.clock->offsetMs) - observed.clock->uncertaintyMs > wanted
                : seen != wanted;
        if (drifted) {
            drifts.push_back({setting, wanted, seen});
        }
    }
    return drifts;
}

}  // namespace irig::fleet
