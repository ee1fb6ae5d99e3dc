// The technician's page of irigctl monitor, as values: the units' table, one unit's page, the JSON
// they and scripts share, and the page's own script and style, made from what the monitor fills in.
// No I/O and no routes: the monitor's server serves them.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <deque>
#include <optional>
#include <vector>

namespace irig::page {

enum class State { kUp, kDown, kLent };

struct Measurement {
    qint64 atMs = 0;  // since the epoch
    qint64 offsetMs = 0;
    qint64 uncertaintyMs = 0;
};

// A line of the monitor's log about a unit, or a lease's event.
struct Event {
    qint64 atMs = 0;
    QString text;
};

struct Holder {
    QString by;
    qint64 untilMs = 0;
};

struct Diagnosed {
    QString kind;  // as the metric's label says it: "none", "hour_offset"...
    QString text;
};

// What the monitor knows of a unit; a figure it has not measured is absent, never made up.
struct Unit {
    QString name;  // the inventory's name, else its port
    QString port;
    QMap<QString, QString> labels;
    State state = State::kDown;
    std::optional<Holder> lease;  // while lent
    std::optional<QString> source;
    std::optional<QString> version;
    std::optional<qint64> offsetMs;
    std::optional<qint64> uncertaintyMs;
    std::optional<Diagnosed> diagnosis;
    std::optional<double> driftPpm;
    QString driftText;
    std::optional<qint64> measuredMs;
    std::vector<Measurement> history;  // oldest first
    std::vector<Event> log;            // oldest first
    std::vector<Event> leases;         // oldest first
};

struct Board {
    std::vector<Unit> units;
    QString hostClock;  // "host clock synchronised (±2 ms)"
    QString leapList;   // "expires 2027-06-28"
    qint64 nowMs = 0;
};

// How many units are up, down and lent, and how many of those up have a clock that is off (a
// diagnosis other than none).
struct Counts {
    int up = 0;
    int down = 0;
    int lent = 0;
    int off = 0;
};
Counts Count(const std::vector<Unit>& units);

// The worst first: down, then lent, then diagnosed, then by the offset's size, then by name.
bool Worse(const Unit& a, const Unit& b);
std::vector<const Unit*> WorstFirst(const std::vector<Unit>& units);
const Unit* Find(const Board& board, const QString& name);

// The measurements the monitor keeps of each unit.
inline constexpr qint64 kHistoryMs = qint64{2} * 3600 * 1000;
inline constexpr size_t kMostMeasurements = 720;
inline constexpr size_t kMostEvents = 20;
// A line longer than this is cut: a unit's failure may quote what it sent.
inline constexpr qsizetype kLongestEvent = 400;

// A new measurement kept: those more than kHistoryMs older than it, and the oldest beyond
// kMostMeasurements, are let go.
void Remember(std::deque<Measurement>& history, const Measurement& measurement);
// A new event kept, cut to kLongestEvent; the oldest beyond kMostEvents is let go.
void Remember(std::deque<Event>& events, const Event& event);

QByteArray TablePage(const Board& board);
QByteArray UnitPage(const Board& board, const Unit& unit);
QByteArray MissingPage(const QString& name);
QByteArray UnitsJson(const Board& board);

// /page.js and /page.css.
struct Asset {
    const char* contentType;
    QByteArray body;
};
std::optional<Asset> AssetAt(const QString& path);

}  // namespace irig::page
