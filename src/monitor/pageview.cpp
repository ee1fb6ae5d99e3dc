// The technician's page as irigctl monitor serves it: each unit's story kept on the board, the
// board read as the page's values, and the page's routes. What the page shows and how is
// src/page's.
#include <QDateTime>
#include <QJsonObject>
#include <QMutexLocker>
#include <QTimeZone>

#include "diagnosis/diagnosis.h"
#include "link/protocol.h"
#include "monitor/server.h"
#include "status/replies.h"

namespace irig::monitor {

namespace {

qint64 NowMs() {
    return QDateTime::currentMSecsSinceEpoch();
}

// What is known of the unit, as the metrics show it: its figures only while it answers.
page::Unit PageUnit(const UnitReading& reading, const UnitStory& story) {
    page::Unit unit;
    unit.name = reading.unit.isEmpty() ? reading.port : reading.unit;
    unit.port = reading.port;
    unit.labels = reading.labels;
    unit.state = reading.leased ? page::State::kLent
                 : reading.up   ? page::State::kUp
                                : page::State::kDown;
    if (reading.leased) {
        unit.lease = story.holder;
    }
    if (reading.up && reading.clock) {
        const QString source = status::SourceCaption(link::code::kEndRead, reading.clock->source);
        unit.source = source.isEmpty() ? std::nullopt : std::optional(source);
        if (reading.clock->version) {
            unit.version = QStringLiteral("%1.%2")
                               .arg(*reading.clock->version / 10)
                               .arg(*reading.clock->version % 10);
        }
    }
    if (reading.up && reading.offset) {
        unit.offsetMs = reading.offset->offsetMs;
        unit.uncertaintyMs = reading.offset->uncertaintyMs;
        if (reading.diagnosis) {
            unit.diagnosis =
                page::Diagnosed{QString::fromLatin1(diagnosis::RowOf(reading.diagnosis->kind).key),
                                diagnosis::Line(*reading.diagnosis)};
        }
    }
    if (reading.up && reading.drift) {
        unit.driftPpm = reading.drift->ppm;
        unit.driftText = diagnosis::DriftText(*reading.drift, 2);
    }
    if (reading.measured) {
        unit.measuredMs = *reading.measured / 1000;
    }
    unit.history.assign(story.history.begin(), story.history.end());
    unit.log.assign(story.log.begin(), story.log.end());
    unit.leases.assign(story.leases.begin(), story.leases.end());
    return unit;
}

QString LeapListWords(const std::optional<qint64>& expires, qint64 nowMs) {
    if (!expires) {
        return QStringLiteral("none on this computer (tzdata's leap-seconds.list)");
    }
    const QString day =
        QDateTime::fromSecsSinceEpoch(*expires, QTimeZone::utc()).toString(Qt::ISODate).left(10);
    return *expires * 1000 < nowMs ? QStringLiteral("expired on %1").arg(day)
                                   : QStringLiteral("good until %1").arg(day);
}

web::Reply Html(int status, const QByteArray& body) {
    return {status, "text/html; charset=utf-8", body, {}, {}};
}

}  // namespace

std::vector<std::pair<UnitReading, UnitStory>> MetricsBoard::Stories() const {
    const QMutexLocker lock(&mutex_);
    std::vector<std::pair<UnitReading, UnitStory>> stories;
    stories.reserve(readings_.size());
    for (size_t i = 0; i < readings_.size(); ++i) {
        stories.emplace_back(readings_[i], stories_[i]);
    }
    return stories;
}

void MetricsBoard::Said(Key key, const QString& line) {
    const QMutexLocker lock(&mutex_);
    if (const auto at = index_.constFind(key); at != index_.cend()) {
        page::Remember(stories_[*at].log, {NowMs(), line});
    }
}

// A lease granted or renewed names its holder and its end; every decision with words for the record
// is an event of the unit's, and a line of its log.
void MetricsBoard::Leased(Key key, const lease::LeaseDecision& decision) {
    const QMutexLocker lock(&mutex_);
    const auto at = index_.constFind(key);
    if (at == index_.cend()) {
        return;
    }
    UnitStory& story = stories_[*at];
    const QJsonObject& body = decision.answer.body;
    const QDateTime until =
        QDateTime::fromString(body.value(QStringLiteral("until")).toString(), Qt::ISODate);
    const bool granted = decision.answer.status == 200 && body.contains(QStringLiteral("lease"));
    if (granted && until.isValid()) {
        story.holder = page::Holder{body.value(QStringLiteral("holder")).toString(),
                                    until.toMSecsSinceEpoch()};
    }
    if (!decision.record.isEmpty()) {
        const QString text =
            granted && until.isValid()
                ? QStringLiteral("%1, until %2").arg(decision.record, until.toString(Qt::ISODate))
                : decision.record;
        page::Remember(story.leases, {NowMs(), text});
        page::Remember(story.log, {NowMs(), text});
    }
}

page::Board MetricsServer::PageBoard() const {
    page::Board board;
    board.nowMs = NowMs();
    for (const auto& [reading, story] : board_.Stories()) {
        board.units.push_back(PageUnit(reading, story));
    }
    board.hostClock =
        status::HostClockText(status::ReadKernelClock(), status::ClockUse::kMeasuring);
    board.leapList = LeapListWords(LeapListExpires(), board.nowMs);
    return board;
}

// The page, one unit's, their JSON, script and style: true when `request` asks for one of them.
// Without users, this computer's clients only see them.
bool MetricsServer::Page(const web::Request& request, const web::Respond& respond) const {
    static const QString units = QStringLiteral("/units");
    const QString& path = request.path;
    const std::optional<page::Asset> asset = page::AssetAt(path);
    const bool one = path.size() > units.size() + 1 && path.startsWith(units + QLatin1Char('/'));
    if (!asset && !one && path != QLatin1String("/") && path != units) {
        return false;
    }
    const std::variant<QString, LeaseAnswer> client =
        LeaseClient(users_, request.user, QHostAddress(request.peer));
    web::Reply reply;
    if (request.method != "GET") {
        reply = {405, "text/plain", path.toUtf8() + " takes GET only\n", {{"Allow", "GET"}}, {}};
    } else if (std::holds_alternative<LeaseAnswer>(client)) {
        reply = {403,
                 "text/plain",
                 "irigctl monitor: the page is shown to this computer only: give the monitor "
                 "users to show it further\n",
                 {},
                 {}};
    } else if (ForeignHost(request)) {
        reply = {403,
                 "text/plain",
                 "irigctl monitor: the page asked for by another host's name than this computer's "
                 "is refused, as a page of that host would read it (--web-external-host gives "
                 "this computer's other names)\n",
                 {},
                 {}};
    } else if (asset) {
        reply = {200, asset->contentType, asset->body, {}, {}};
    } else {
        const page::Board board = PageBoard();
        if (path == QLatin1String("/")) {
            reply = Html(200, page::TablePage(board));
        } else if (path == units) {
            reply = {200, "application/json", page::UnitsJson(board), {}, {}};
        } else if (const page::Unit* unit = page::Find(board, path.mid(units.size() + 1))) {
            reply = Html(200, page::UnitPage(board, *unit));
        } else {
            reply = Html(404, page::MissingPage(path.mid(units.size() + 1)));
        }
    }
    reply.headers.emplace_back("Content-Security-Policy", "default-src 'self'");
    respond(std::move(reply));
    return true;
}

}  // namespace irig::monitor
