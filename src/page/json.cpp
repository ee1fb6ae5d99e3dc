// GET /units: the units, the worst first, and the counts, as the page's script and other scripts
// read them; a figure not known is null.
#include "page/markup.h"

namespace irig::page {

namespace {

void UnitJson(Out& out, const Unit& unit) {
    out << "{\"name\":";
    out.Json(unit.name) << ",\"port\":";
    out.Json(unit.port) << ",\"labels\":{";
    for (auto label = unit.labels.cbegin(); label != unit.labels.cend(); ++label) {
        out << (label == unit.labels.cbegin() ? "" : ",");
        out.Json(label.key()) << ":";
        out.Json(label.value());
    }
    out << "},\"state\":\"" << StateWord(unit.state) << "\",\"lease\":";
    if (unit.lease) {
        out << "{\"by\":";
        out.Json(unit.lease->by) << ",\"until\":\"" << Utc(unit.lease->untilMs) << "\"}";
    } else {
        out << "null";
    }
    out << ",\"source\":";
    unit.source ? out.Json(*unit.source) : out << "null";
    out << ",\"version\":";
    unit.version ? out.Json(*unit.version) : out << "null";
    out << ",\"offsetMs\":";
    out.Maybe(unit.offsetMs) << ",\"uncertaintyMs\":";
    out.Maybe(unit.uncertaintyMs) << ",\"diagnosis\":";
    if (unit.diagnosis) {
        out << "{\"kind\":";
        out.Json(unit.diagnosis->kind) << ",\"text\":";
        out.Json(unit.diagnosis->text) << "}";
    } else {
        out << "null";
    }
    out << ",\"driftPpm\":";
    out.Maybe(unit.driftPpm) << ",\"driftText\":";
    unit.driftText.isEmpty() ? out << "null" : out.Json(unit.driftText);
    out << ",\"measured\":";
    unit.measuredMs ? out << "\"" << Utc(*unit.measuredMs) << "\"" : out << "null";
    out << ",\"history\":[";
    for (size_t i = 0; i < unit.history.size(); ++i) {
        char entry[160];
        char* at = i == 0 ? Put(entry, "{\"t\":") : Put(entry, ",{\"t\":");
        at = Put(Put(at, unit.history[i].atMs), ",\"offsetMs\":");
        at = Put(Put(at, unit.history[i].offsetMs), ",\"uncertaintyMs\":");
        at = Put(Put(at, unit.history[i].uncertaintyMs), "}");
        out.bytes.append(entry, at - entry);
    }
    out << "]}";
}

}  // namespace

QByteArray UnitsJson(const Board& board) {
    Out out;
    out.bytes.reserve(256 + static_cast<qsizetype>(board.units.size()) * 5000);
    out << "{\"units\":[";
    bool first = true;
    for (const Unit* unit : WorstFirst(board.units)) {
        out << (first ? "" : ",\n");
        first = false;
        UnitJson(out, *unit);
    }
    const Counts counts = Count(board.units);
    out << "],\"summary\":{\"up\":";
    out.Integer(counts.up) << ",\"down\":";
    out.Integer(counts.down) << ",\"lent\":";
    out.Integer(counts.lent) << ",\"off\":";
    out.Integer(counts.off) << ",\"hostClock\":";
    out.Json(board.hostClock) << ",\"leapList\":";
    out.Json(board.leapList) << "},\"now\":";
    out.Integer(board.nowMs) << "}\n";
    return out.bytes;
}

}  // namespace irig::page
