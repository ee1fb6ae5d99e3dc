// The page's HTML: the units' table, one unit's page and the page of a unit not watched, each
// whole without a script, its values in words with their captions.
#include <QUrl>
#include <limits>

#include "page/markup.h"
#include "page/plot.h"

namespace irig::page {

namespace {

// The columns of the units' table: its data-field, its caption.
struct Column {
    const char* field;
    const char* caption;
};
constexpr Column kColumns[] = {
    {"name", "Unit"},
    {"labels", "Labels"},
    {"state", "State"},
    {"source", "Source"},
    {"version", "Firmware"},
    {"offset", "Offset ± uncertainty"},
    {"diagnosis", "Diagnosis"},
    {"drift", "Drift"},
    {"lease", "Lease"},
    {"measured", "Measured"},
    {"history", "Offset, last 2 h"},
};

void Head(Out& out, const QString& title) {
    out << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"><title>";
    out.Html(title);
    out << "</title><link rel=\"stylesheet\" href=\"/page.css\">"
           "<script src=\"/page.js\" defer></script></head><body>";
}

QByteArray UnitHref(const Unit& unit) {
    return "/units/" + QUrl::toPercentEncoding(unit.name);
}

// "NAME: 12 measurements in the last 2 h, from -3 ms to +5 ms".
QString PlotLabel(const Unit& unit) {
    if (unit.history.empty()) {
        return unit.name + QStringLiteral(": no measurement in the last 2 h");
    }
    const auto [low, high] = std::minmax_element(
        unit.history.begin(), unit.history.end(),
        [](const Measurement& a, const Measurement& b) { return a.offsetMs < b.offsetMs; });
    return QStringLiteral("%1: %2 %3 in the last 2 h, from %4 to %5")
        .arg(unit.name, QString::number(unit.history.size()),
             unit.history.size() == 1 ? QStringLiteral("measurement")
                                      : QStringLiteral("measurements"),
             Signed(low->offsetMs), Signed(high->offsetMs));
}

// The offsets as an SVG: the ±2 ms band, a circle for each measurement and, where `bars`, its
// uncertainty.
void History(Out& out, const Unit& unit, qint64 nowMs, const Frame& frame, bool bars) {
    const Plotted plotted = Plot(unit.history, nowMs, frame);
    out << "<svg class=\"offset-history\" role=\"img\" viewBox=\"0 0 ";
    out.Number(frame.width, 0) << " ";
    out.Number(frame.height, 0) << "\" width=\"";
    out.Number(frame.width, 0) << "\" height=\"";
    out.Number(frame.height, 0) << "\" aria-label=\"";
    out.Html(PlotLabel(unit)) << "\"><rect class=\"band\" x=\"0\" y=\"";
    out.Number(plotted.bandTop) << "\" width=\"";
    out.Number(frame.width, 0) << "\" height=\"";
    out.Number(std::max(plotted.bandBottom - plotted.bandTop, 1.0)) << "\"/>";
    out << "<line class=\"zero\" x1=\"0\" x2=\"";
    out.Number(frame.width, 0) << "\" y1=\"";
    out.Number(plotted.zero) << "\" y2=\"";
    out.Number(plotted.zero) << "\"/>";
    for (const Dot& dot : plotted.dots) {
        if (bars) {
            out << "<line class=\"bar\" x1=\"";
            out.Number(dot.x) << "\" x2=\"";
            out.Number(dot.x) << "\" y1=\"";
            out.Number(dot.top) << "\" y2=\"";
            out.Number(dot.bottom) << "\"/>";
        }
        char circle[96];
        char* at = PutTenths(Put(circle, "<circle cx=\""), dot.x);
        at = PutTenths(Put(at, "\" cy=\""), dot.y);
        at = bars ? Put(at, "\" r=\"3\"/>") : Put(at, "\" r=\"1.5\"/>");
        out.bytes.append(circle, at - circle);
    }
    out << "</svg>";
}

void Cell(Out& out, const char* field, const QString& words) {
    out << "<td data-field=\"" << field << "\">";
    out.Html(words) << "</td>";
}

void Row(Out& out, const Unit& unit, qint64 nowMs) {
    out << "<tr data-unit=\"";
    out.Html(unit.name) << "\" data-state=\"" << StateWord(unit.state) << "\">";
    out << "<td data-field=\"name\"><a href=\"" << UnitHref(unit) << "\">";
    out.Html(unit.name) << "</a></td>";
    Cell(out, "labels", LabelWords(unit));
    out << "<td data-field=\"state\"><span class=\"state state-" << StateWord(unit.state) << "\">"
        << StateWord(unit.state) << "</span></td>";
    Cell(out, "source", unit.source.value_or(QStringLiteral("not known")));
    Cell(out, "version", unit.version.value_or(QStringLiteral("not known")));
    out << "<td data-field=\"offset\" data-value=\"";
    // The size to sort by; the most negative offset has none of its own.
    out.Integer(!unit.offsetMs ? -1
                : *unit.offsetMs == std::numeric_limits<qint64>::min()
                    ? std::numeric_limits<qint64>::max()
                    : std::abs(*unit.offsetMs))
        << "\">";
    out.Html(OffsetWords(unit)) << "</td><td data-field=\"diagnosis\" data-kind=\"";
    out.Html(unit.diagnosis ? unit.diagnosis->kind : QString()) << "\">";
    out.Html(DiagnosisWords(unit)) << "</td>";
    Cell(out, "drift", DriftWords(unit));
    Cell(out, "lease", LeaseWords(unit));
    out << "<td data-field=\"measured\">";
    if (unit.measuredMs) {
        const QByteArray at = Utc(*unit.measuredMs);
        out << "<time datetime=\"" << at << "\">" << at << "</time>";
    } else {
        out << "never";
    }
    out << "</td><td data-field=\"history\">";
    History(out, unit, nowMs, Frame{}, false);
    out << "</td></tr>\n";
}

void Summary(Out& out, const Board& board) {
    const Counts counts = Count(board.units);
    out << "<header><h1>irigctl monitor</h1><ul class=\"counts\">";
    const std::pair<const char*, int> shown[] = {
        {"up", counts.up}, {"down", counts.down}, {"lent", counts.lent}, {"off", counts.off}};
    for (const auto& [word, count] : shown) {
        out << "<li data-count=\"" << word << "\"><span class=\"state state-" << word << "\">"
            << word << "</span>: <b>";
        out.Integer(count) << "</b></li>";
    }
    out << "</ul><p>Host clock: <span data-field=\"host-clock\">";
    out.Html(board.hostClock) << "</span>. Leap-second list: <span data-field=\"leap-list\">";
    out.Html(board.leapList) << "</span>.</p></header>";
}

// One unit's figures, each row a caption and its value.
void Facts(Out& out, const Unit& unit) {
    out << "<table class=\"facts\"><caption>What the monitor knows of ";
    out.Html(unit.name) << "</caption><tbody>";
    const auto fact = [&out](const char* field, const char* caption, const QString& words) {
        out << "<tr><th scope=\"row\">" << caption << "</th>";
        Cell(out, field, words);
        out << "</tr>";
    };
    fact("name", "Unit", unit.name);
    fact("port", "Port", unit.port);
    fact("labels", "Labels", LabelWords(unit));
    fact("state", "State", QString::fromLatin1(StateWord(unit.state)));
    fact("source", "Source", unit.source.value_or(QStringLiteral("not known")));
    fact("version", "Firmware", unit.version.value_or(QStringLiteral("not known")));
    fact("offset", "Offset ± uncertainty", OffsetWords(unit));
    fact("diagnosis", "Diagnosis", DiagnosisWords(unit));
    fact("drift", "Drift", DriftWords(unit));
    fact("lease", "Lease", LeaseWords(unit));
    fact("measured", "Measured",
         unit.measuredMs ? QString::fromLatin1(Utc(*unit.measuredMs)) : QStringLiteral("never"));
    out << "</tbody></table>";
}

// Events as a table of their times and words, the newest first.
void Events(Out& out, const char* id, const char* caption, const std::vector<Event>& events) {
    out << "<table id=\"" << id << "\"><caption>" << caption
        << "</caption><thead><tr><th scope=\"col\">When</th><th scope=\"col\">What</th></tr>"
           "</thead><tbody>";
    for (auto event = events.rbegin(); event != events.rend(); ++event) {
        const QByteArray at = Utc(event->atMs);
        out << "<tr><td><time datetime=\"" << at << "\">" << at << "</time></td><td>";
        out.Html(event->text) << "</td></tr>";
    }
    if (events.empty()) {
        out << "<tr><td colspan=\"2\">none</td></tr>";
    }
    out << "</tbody></table>";
}

// The measurements of the last 2 h, the newest first, at most `most`.
void Measurements(Out& out, const Unit& unit, size_t most) {
    out << "<table id=\"measurements\"><caption>Measurements, the newest first</caption><thead>"
           "<tr><th scope=\"col\">When</th><th scope=\"col\">Offset</th>"
           "<th scope=\"col\">Uncertainty</th></tr></thead><tbody>";
    size_t shown = 0;
    for (auto point = unit.history.rbegin(); point != unit.history.rend() && shown < most;
         ++point, ++shown) {
        const QByteArray at = Utc(point->atMs);
        out << "<tr><td><time datetime=\"" << at << "\">" << at << "</time></td><td>";
        out.Html(Signed(point->offsetMs)) << "</td><td>± ";
        out.Integer(point->uncertaintyMs) << " ms</td></tr>";
    }
    if (unit.history.empty()) {
        out << "<tr><td colspan=\"3\">none in the last 2 h</td></tr>";
    }
    out << "</tbody></table>";
}

}  // namespace

QByteArray TablePage(const Board& board) {
    Out out;
    out.bytes.reserve(4096 + static_cast<qsizetype>(board.units.size()) * 6000);
    Head(out, QStringLiteral("irigctl monitor: %1 %2")
                  .arg(board.units.size())
                  .arg(board.units.size() == 1 ? QStringLiteral("unit") : QStringLiteral("units")));
    Summary(out, board);
    out << "<main><p class=\"tools\"><label for=\"filter\">Filter units</label> "
           "<input type=\"search\" id=\"filter\" name=\"filter\" autocomplete=\"off\"></p>"
           "<div id=\"announce\" role=\"status\" aria-live=\"polite\"></div>"
           "<table id=\"units\"><caption>Units, the worst first: down, lent, diagnosed, then by "
           "the size of the offset</caption><thead><tr>";
    for (const Column& column : kColumns) {
        out << "<th scope=\"col\" data-field=\"" << column.field << "\"><button type=\"button\" "
            << "data-sort=\"" << column.field << "\">" << column.caption << "</button></th>";
    }
    out << "</tr></thead><tbody>\n";
    for (const Unit* unit : WorstFirst(board.units)) {
        Row(out, *unit, board.nowMs);
    }
    out << "</tbody></table><p>For Prometheus: <a href=\"/metrics\">/metrics</a>; for scripts: "
           "<a href=\"/units\">/units</a> (JSON).</p></main></body></html>\n";
    return out.bytes;
}

}  // namespace irig::page

namespace irig::page {

QByteArray UnitPage(const Board& board, const Unit& unit) {
    Out out;
    Head(out, QStringLiteral("%1: irigctl monitor").arg(unit.name));
    out << "<header><p><a href=\"/\">All units</a></p><h1>";
    out.Html(unit.name) << " <span class=\"state state-" << StateWord(unit.state) << "\">"
                        << StateWord(unit.state) << "</span></h1></header><main data-unit=\"";
    out.Html(unit.name) << "\" data-port=\"";
    out.Html(unit.port) << "\"><p><button type=\"button\" data-action=\"check-time\" data-port=\"";
    out.Html(unit.port) << "\">Measure now</button></p>"
                           "<div id=\"announce\" role=\"status\" aria-live=\"polite\"></div>";
    Facts(out, unit);
    out << "<figure><figcaption>Offset over the last 2 h, the ±2 ms band shaded, each "
           "measurement with its uncertainty</figcaption>";
    History(out, unit, board.nowMs, Frame{720, 240, 6, kHistoryMs, 2}, true);
    out << "</figure>";
    Measurements(out, unit, 60);
    Events(out, "log", "What the monitor said of it", unit.log);
    Events(out, "leases", "Its leases", unit.leases);
    out << "</main></body></html>\n";
    return out.bytes;
}

QByteArray MissingPage(const QString& name) {
    Out out;
    Head(out, QStringLiteral("No such unit: irigctl monitor"));
    out << "<main><h1>No such unit</h1><p>No unit ";
    out.Html(name) << " is watched here. <a href=\"/\">All units</a></p></main></body></html>\n";
    return out.bytes;
}

}  // namespace irig::page
