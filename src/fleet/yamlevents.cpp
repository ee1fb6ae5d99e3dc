#include "fleet/yamlevents.h"

#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/parser.h>

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
    void OnScalar(const YAML::Mark& mark, const std::string&, YAML::anchor_t anchor,
                  const std::string& value) override {
        Pass({Type::kScalar, mark, value, anchor});
    }
    void OnSequenceStart(const YAML::Mark& mark, const std::string&, YAML::anchor_t anchor,
                         YAML::EmitterStyle::value) override {
        Pass({Type::kSequenceStart, mark, {}, anchor});
    }
    void OnSequenceEnd() override { Pass({Type::kSequenceEnd, {}, {}, 0}); }
    void OnMapStart(const YAML::Mark& mark, const std::string&, YAML::anchor_t anchor,
                    YAML::EmitterStyle::value) override {
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

}  // namespace

void ReadYaml(const std::string& text, YamlReader& reader) {
    std::istringstream in(text);
    YAML::Parser parser(in);
    Stream stream(reader);
    while (parser.HandleNextDocument(stream)) {
    }
}

}  // namespace irig::fleet
