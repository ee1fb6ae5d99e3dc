#include "cli/apply.h"

#include <QJsonArray>
#include <cstdlib>
#include <memory>

#include "cli/writes.h"
#include "link/protocol.h"
#include "status/replies.h"

namespace irig::cli {

namespace {

using unit::Failure;
using unit::Result;
using unit::Session;

QString IntendedText(const fleet::Intended& intended) {
    QStringList parts;
    for (const fleet::SettingRow& row : fleet::kSettings) {
        if (const std::optional<fleet::Value> value = intended.Get(row.setting)) {
            parts << fleet::Phrase(row.setting, *value);
        }
    }
    return parts.isEmpty() ? QStringLiteral("(nothing intended)") : parts.join(QLatin1String(", "));
}

QJsonObject IntendedJson(const fleet::Intended& intended) {
    QJsonObject json;
    for (const fleet::SettingRow& row : fleet::kSettings) {
        if (const std::optional<fleet::Value> value = intended.Get(row.setting)) {
            json.insert(QLatin1String(row.jsonKey), fleet::Json(row.setting, *value));
        }
    }
    return json;
}

// One unit's apply, from its reading to its outcome; it deletes itself at the end.
class Applying final : public QObject {
public:
    Applying(Session& session, const fleet::Intended& intended, bool check, Done done)
        : QObject(&session),
          session_(session),
          intended_(intended),
          check_(check),
          done_(std::move(done)) {}

    void Start() {
        session_.AskOffsets([this](const Result<unit::Offsets>& offsets) {
            if (!offsets) {
                Fail(QStringLiteral("reading the offsets"), offsets.Why());
                return;
            }
            before_ = *offsets;
            session_.AskClock([this](const Result<Session::ClockAnswer>& clock) {
                if (!clock) {
                    Fail(QStringLiteral("reading the version"), clock.Why());
                    return;
                }
                version_ = clock->clock.version;
                source_ = status::SourceCaption(link::code::kEndRead, clock->clock.source);
                Offsets();
            });
        });
    }

private:
    void Offsets() {
        const unit::Offsets wanted{intended_.irigOffset.value_or(before_.irig),
                                   intended_.gpsOffset.value_or(before_.gps),
                                   intended_.ieee1344.value_or(before_.ieee1344)};
        after_ = wanted;
        const struct {
            const char* name;
            const char* key;
            QString was;
            QString now;
        } settings[] = {
            {"IRIG-B", "irigOffset", QString::number(before_.irig), QString::number(wanted.irig)},
            {"GPS", "gpsOffset", QString::number(before_.gps), QString::number(wanted.gps)},
            {"IEEE 1344", "ieee1344", unit::OnOff(before_.ieee1344), unit::OnOff(wanted.ieee1344)}};
        for (const auto& setting : settings) {
            if (setting.was != setting.now) {
                changes_ << QStringLiteral("%1 %2 -> %3")
                                .arg(QLatin1String(setting.name), setting.was, setting.now);
                changesJson_.append(
                    QJsonObject{{QStringLiteral("setting"), QLatin1String(setting.key)},
                                {QStringLiteral("from"), setting.was},
                                {QStringLiteral("to"), setting.now}});
            }
        }
        if (wanted == before_ || check_) {
            Clock();
            return;
        }
        WriteOffsets(session_, before_, wanted, [this](const Result<unit::Offsets>& kept) {
            if (!kept) {
                Fail(QStringLiteral("setting the offsets"), kept.Why());
            } else {
                Clock();
            }
        });
    }

    // Measured as check-time does; set only when the whole interval lies beyond the limit, and
    // then measured again, as far as it takes to decide.
    void Clock() {
        if (!intended_.maxClockOffsetMs) {
            End();
            return;
        }
        Measure([this](const status::ClockOffset& offset) {
            offset_ = offset;
            if (!Beyond(offset)) {
                End();
                return;
            }
            clockOff_ = true;
            changes_ << QStringLiteral("clock %1 %2")
                            .arg(check_ ? QStringLiteral("would be set") : QStringLiteral("set"),
                                 QStringLiteral("(it was %1)").arg(status::OffsetText(offset)));
            if (check_) {
                End();
                return;
            }
            const auto change = ClockChange(session_, status::OffsetText(offset));
            SetClockOnTime(session_, change, [this, change](const Result<ClockSetting>& setting) {
                if (!setting) {
                    Fail(QStringLiteral("setting the clock"), setting.Why());
                    return;
                }
                Measure(
                    [this, change](const status::ClockOffset& after) {
                        const QString limit =
                            QStringLiteral("%1 ms").arg(*intended_.maxClockOffsetMs);
                        if (Beyond(after)) {
                            const Failure kept = Failure::NotKept(
                                QStringLiteral("the unit kept its clock %1, beyond %2")
                                    .arg(status::OffsetText(after), limit));
                            change->Done(status::OffsetText(after) + QStringLiteral(", not kept"));
                            Fail(QStringLiteral("setting the clock"), kept);
                            return;
                        }
                        change->Done(status::OffsetText(after) + QStringLiteral(", within ") +
                                     limit);
                        End();
                    },
                    change);
            });
        });
    }

    // The whole interval lies beyond the limit.
    bool Beyond(const status::ClockOffset& offset) const {
        return std::abs(offset.offsetMs) - offset.uncertaintyMs > *intended_.maxClockOffsetMs;
    }

    // Measured only as far as it takes to decide: the whole interval within the limit, or beyond
    // it. A failure after a setting (`change`) is that setting's outcome.
    void Measure(std::function<void(const status::ClockOffset&)> measured,
                 std::shared_ptr<unit::PendingChange> change = {}) {
        const qint64 limit = *intended_.maxClockOffsetMs;
        const auto decided = [limit](const status::ClockOffset& offset) {
            const qint64 size = std::abs(offset.offsetMs);
            return size + offset.uncertaintyMs <= limit || size - offset.uncertaintyMs > limit;
        };
        session_.MeasureClock(
            {},
            [this, measured = std::move(measured),
             change = std::move(change)](const Result<status::ClockOffset>& offset) {
                if (!offset) {
                    if (change) {
                        change->Done(QStringLiteral("answered, not measured after: ") +
                                     offset.Why().text);
                    }
                    Fail(change ? QStringLiteral("measuring the clock after setting it")
                                : QStringLiteral("measuring the clock"),
                         offset.Why());
                    return;
                }
                measured(*offset);
            },
            decided);
    }

    void End() {
        Outcome outcome;
        const bool changed = !changes_.isEmpty();
        const QString result = !changed ? QStringLiteral("ok")
                               : check_ ? QStringLiteral("would change")
                                        : QStringLiteral("changed");
        outcome.exitCode = changed && check_ ? kWouldChange : kDone;
        QString line = QStringLiteral("%1: %2").arg(session_.Named(), result);
        if (changed) {
            line += QStringLiteral(": ") + changes_.join(QLatin1String(", "));
        }
        QJsonObject json{{QStringLiteral("result"), result},
                         {QStringLiteral("changes"), changesJson_},
                         {QStringLiteral("source"), source_},
                         {QStringLiteral("before"), OffsetsJson(before_)},
                         {QStringLiteral("after"), OffsetsJson(after_)}};
        if (version_) {
            json.insert(QStringLiteral("version"), fleet::VersionName(*version_));
        }
        if (intended_.firmware && version_ && *intended_.firmware != *version_) {
            const QString intended = fleet::VersionName(*intended_.firmware);
            line += QStringLiteral("; drift: the unit answers version %1, the inventory says %2")
                        .arg(fleet::VersionName(*version_), intended);
            json.insert(
                QStringLiteral("drift"),
                QJsonObject{{QStringLiteral("firmware"),
                             QJsonObject{{QStringLiteral("answers"), fleet::VersionName(*version_)},
                                         {QStringLiteral("intended"), intended}}}});
        }
        if (offset_) {
            json.insert(QStringLiteral("clock"),
                        QJsonObject{{QStringLiteral("offsetMs"), offset_->offsetMs},
                                    {QStringLiteral("uncertaintyMs"), offset_->uncertaintyMs},
                                    {QStringLiteral("set"), clockOff_ && !check_}});
        }
        outcome.text = line + QLatin1Char('\n');
        outcome.json = WithPort(session_, json);
        Finish(outcome);
    }

    void Fail(const QString& what, const Failure& failure) {
        Outcome outcome = NoAnswer(session_, what, failure);
        outcome.text = QStringLiteral("%1: failed\n").arg(session_.Named());
        outcome.json.insert(QStringLiteral("result"), QStringLiteral("failed"));
        outcome.json.insert(QStringLiteral("changes"), changesJson_);
        Finish(outcome);
    }

    void Finish(const Outcome& outcome) {
        auto done = std::move(done_);
        deleteLater();
        done(outcome);
    }

    Session& session_;
    fleet::Intended intended_;
    bool check_;
    Done done_;
    unit::Offsets before_;
    unit::Offsets after_;
    QString source_;
    std::optional<int> version_;
    std::optional<status::ClockOffset> offset_;
    bool clockOff_ = false;
    QStringList changes_;
    QJsonArray changesJson_;
};

}  // namespace

QString InventoryText(const Request& request) {
    QString text;
    for (const fleet::InventoryUnit& unit : request.units) {
        QStringList labels;
        for (auto label = unit.labels.cbegin(); label != unit.labels.cend(); ++label) {
            labels << QStringLiteral("%1=%2").arg(label.key(), label.value());
        }
        text += QStringLiteral("%1  %2%3  %4\n")
                    .arg(unit.name, unit.port,
                         labels.isEmpty() ? QString()
                                          : QStringLiteral("  ") + labels.join(QLatin1Char(' ')),
                         IntendedText(unit.intended));
    }
    return text;
}

QJsonObject InventoryJson(const Request& request) {
    QJsonArray units;
    for (const fleet::InventoryUnit& unit : request.units) {
        QJsonObject labels;
        for (auto label = unit.labels.cbegin(); label != unit.labels.cend(); ++label) {
            labels.insert(label.key(), label.value());
        }
        units.append(QJsonObject{{QStringLiteral("unit"), unit.name},
                                 {QStringLiteral("port"), unit.port},
                                 {QStringLiteral("labels"), labels},
                                 {QStringLiteral("intended"), IntendedJson(unit.intended)}});
    }
    return {{QStringLiteral("inventory"), request.inventory}, {QStringLiteral("units"), units}};
}

void Apply(Session& session, const fleet::Intended& intended, bool check, const Done& done) {
    (new Applying(session, intended, check, done))->Start();
}

}  // namespace irig::cli
