// What the edge adds to the library's parsing of a request head, decided over the header list as
// the library parsed it, duplicates included: the framing RFC 9112 forbids and the body cap. The
// refusal as a value; sending it is the edge's.
#pragma once

#include <QByteArray>
#include <optional>
#include <utility>
#include <vector>

namespace irig::web {

struct Refusal {
    int status = 400;
    QByteArray why;  // the body's words
};

// The head of a request of `version` ("HTTP/1.1") with `headers` (names in any case, in the
// order sent), whose body may hold at most `maxBodyBytes`: nothing if it may go on.
std::optional<Refusal> CheckFraming(const QByteArray& version,
                                    const std::vector<std::pair<QByteArray, QByteArray>>& headers,
                                    qint64 maxBodyBytes);

}  // namespace irig::web
