#include "fleet/yamlevents.h"

#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/parser.h>

#include <set>
#include <sstream>
#include <unordered_map>
#include <vector>

namespace irig::fleet {

namespace {

using Type = YamlEvent::Type;

// An event kept for a replay: a node's event, or an alias to replay in its turn.
struct Kept {
    YamlEvent event;
    YAML::anchor_t alias = 0;
};

// An anchored collection whose events are still being kept.
struct Keeping {
    YAML::anchor_t anchor = 0;
    int depth = 0;  // collections open within it, itself included
    std::vector<Kept> events;
};

class Stream final : public YAML::EventHandler {
public:
    explicit Stream(YamlReader& reader) : reader_(reader) {}

    void OnDocumentStart(const YAML::Mark& mark) override {
        if (documents_++ > 0) {
            throw Fault{mark, QStringLiteral("a second document (after ---): the file holds one")};
        }
    }
    void OnDocumentEnd() override {}
    void OnNull(const YAML::Mark& mark, YAML::anchor_t anchor) override {
        Pass({Type::kNull, mark, {}, anchor});
    }
    void OnScalar(const YAML::Mark& mark, const std::string& tag, YAML::anchor_t anchor,
                  const std::string& value) override {
        RefuseTag(tag, mark);
        Pass({Type::kScalar, mark, value, anchor});
    }
    void OnSequenceStart(const YAML::Mark& mark, const std::string& tag, YAML::anchor_t anchor,
                         YAML::EmitterStyle::value) override {
        RefuseTag(tag, mark);
        Pass({Type::kSequenceStart, mark, {}, anchor});
    }
    void OnSequenceEnd() override { Pass({Type::kSequenceEnd, {}, {}, 0}); }
    void OnMapStart(const YAML::Mark& mark, const std::string& tag, YAML::anchor_t anchor,
                    YAML::EmitterStyle::value) override {
        RefuseTag(tag, mark);
        Pass({Type::kMapStart, mark, {}, anchor});
    }
    void OnMapEnd() override { Pass({Type::kMapEnd, {}, {}, 0}); }

    void OnAlias(const YAML::Mark& mark, YAML::anchor_t anchor) override {
        if (kept_.find(anchor) == kept_.end()) {
            throw Fault{mark, QStringLiteral("an alias inside the node it names")};
        }
        if (!reader_.TakeAlias(anchor, mark)) {
            Replay(anchor, mark);
        }
        for (Keeping& keeping : keeping_) {
            keeping.events.push_back({{}, anchor});
        }
    }

private:
    // A node's tag: none ("?", "!" for a quoted scalar) or YAML's own for text, numbers, true and
    // false, null, maps and lists; a custom tag or !!binary would be read as something it is not.
    static void RefuseTag(const std::string& tag, const YAML::Mark& mark) {
        static const std::set<std::string> plain{"",
                                                 "?",
                                                 "!",
                                                 "tag:yaml.org,2002:str",
                                                 "tag:yaml.org,2002:int",
                                                 "tag:yaml.org,2002:float",
                                                 "tag:yaml.org,2002:bool",
                                                 "tag:yaml.org,2002:null",
                                                 "tag:yaml.org,2002:map",
                                                 "tag:yaml.org,2002:seq"};
        if (plain.count(tag) == 0) {
            throw Fault{mark, QStringLiteral("the tag \"%1\" is not taken: only plain text, "
                                             "numbers, true, false, maps and lists")
                                  .arg(QString::fromStdString(tag))};
        }
    }

    // The reader first (its fault ends the reading), then every anchored node that holds it.
    void Pass(const YamlEvent& event) {
        reader_.Take(event);
        YamlEvent kept = event;
        kept.anchor = 0;
        const bool opens = event.type == Type::kMapStart || event.type == Type::kSequenceStart;
        const bool closes = event.type == Type::kMapEnd || event.type == Type::kSequenceEnd;
        for (Keeping& keeping : keeping_) {
            keeping.events.push_back({kept, 0});
            keeping.depth += opens ? 1 : closes ? -1 : 0;
        }
        if (event.anchor != 0 && opens) {
            keeping_.push_back({event.anchor, 1, {{kept, 0}}});
        } else if (event.anchor != 0) {
            kept_[event.anchor] = {{kept, 0}};
        }
        while (!keeping_.empty() && keeping_.back().depth == 0) {
            kept_[keeping_.back().anchor] = std::move(keeping_.back().events);
            keeping_.pop_back();
        }
    }

    void Replay(YAML::anchor_t anchor, const YAML::Mark& mark) {
        for (const Kept& kept : kept_.at(anchor)) {
            if (kept.alias != 0) {
                if (!reader_.TakeAlias(kept.alias, mark)) {
                    Replay(kept.alias, mark);
                }
                continue;
            }
            YamlEvent event = kept.event;
            event.mark = mark;
            reader_.Take(event);
        }
    }

    YamlReader& reader_;
    int documents_ = 0;
    std::unordered_map<YAML::anchor_t, std::vector<Kept>> kept_;  // complete anchored nodes
    std::vector<Keeping> keeping_;                                // innermost last
};

// The file is UTF-8: a byte that is not where UTF-8 allows it is refused where it stands, rather
// than read as U+FFFD (one name that looks like another).
void RefuseInvalidUtf8(const std::string& text) {
    YAML::Mark mark;
    mark.line = mark.column = 0;
    for (size_t at = 0; at < text.size(); ++mark.column) {
        const auto lead = static_cast<unsigned char>(text[at]);
        const int length = lead < 0x80   ? 1
                           : lead < 0xC2 ? 0
                           : lead < 0xE0 ? 2
                           : lead < 0xF0 ? 3
                           : lead < 0xF5 ? 4
                                         : 0;
        bool valid = length > 0 && at + static_cast<size_t>(length) <= text.size();
        for (int i = 1; valid && i < length; ++i) {
            valid = (static_cast<unsigned char>(text[at + i]) & 0xC0) == 0x80;
        }
        // Overlong three- and four-byte forms, UTF-16 surrogates and beyond U+10FFFF.
        const auto second = valid && length > 2 ? static_cast<unsigned char>(text[at + 1]) : 0x80;
        valid = valid && !(lead == 0xE0 && second < 0xA0) && !(lead == 0xED && second > 0x9F) &&
                !(lead == 0xF0 && second < 0x90) && !(lead == 0xF4 && second > 0x8F);
        if (!valid) {
            throw Fault{mark,
                        QStringLiteral("not UTF-8 (the byte 0x%1): the file must be UTF-8 text")
                            .arg(lead, 2, 16, QLatin1Char('0'))};
        }
        if (lead == '\n') {
            ++mark.line;
            mark.column = -1;
        }
        at += static_cast<size_t>(length);
    }
}

}  // namespace

void ReadYaml(const std::string& text, YamlReader& reader) {
    RefuseInvalidUtf8(text);
    std::istringstream in(text);
    YAML::Parser parser(in);
    Stream stream(reader);
    while (parser.HandleNextDocument(stream)) {
    }
}

}  // namespace irig::fleet
