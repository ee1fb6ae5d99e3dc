// A YAML file as the events of its one document, for a reader that checks as it reads: each alias
// is replayed in place as the events of the node it names, marked where the alias stands, so the
// reader sees every expansion and can bound it, and a fault stops the reading at once. A second
// document is refused. Reading only: what the events mean is the reader's.
#pragma once

#include <yaml-cpp/anchor.h>
#include <yaml-cpp/mark.h>

#include <QString>
#include <string>

namespace irig::fleet {

// A fault at a place in the file; thrown by a reader, or by the reading itself.
struct Fault {
    YAML::Mark mark;
    QString what;
};

struct YamlEvent {
    enum class Type { kScalar, kNull, kMapStart, kMapEnd, kSequenceStart, kSequenceEnd };

    Type type = Type::kNull;
    YAML::Mark mark;
    std::string text;           // a scalar's
    YAML::anchor_t anchor = 0;  // the anchor a node of the file sets; 0 in a replay
};

class YamlReader {
public:
    virtual ~YamlReader() = default;
    // The next event, in the file's order with the aliases replayed.
    virtual void Take(const YamlEvent& event) = 0;
    // An alias at the place of a node: whether the reader took the node it names without its
    // events, from what it kept of it (then nothing is replayed).
    virtual bool TakeAlias(YAML::anchor_t anchor, const YAML::Mark& mark) = 0;
};

// Gives `reader` the events of the document in `text`. Throws a Fault for a byte that is not UTF-8,
// a tag other than YAML's plain ones (a custom one, !!binary), a second document or an alias
// inside the node it names; YAML::Exception for what is not YAML, and whatever the reader throws.
void ReadYaml(const std::string& text, YamlReader& reader);

}  // namespace irig::fleet
