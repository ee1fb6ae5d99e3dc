#include "web/framing.h"

#include <algorithm>

namespace irig::web {

std::optional<Refusal> CheckFraming(const QByteArray& version,
                                    const std::vector<std::pair<QByteArray, QByteArray>>& headers,
                                    qint64 maxBodyBytes) {
    std::vector<QByteArray> lengths;
    std::vector<QByteArray> codings;
    for (const auto& [name, value] : headers) {
        const QByteArray lower = name.toLower();
        if (lower == "content-length") {
            lengths.push_back(value.trimmed());
        } else if (lower == "transfer-encoding") {
            codings.push_back(value.trimmed().toLower());
        }
    }
    if (!lengths.empty() && !codings.empty()) {
        return Refusal{400, "Content-Length and Transfer-Encoding together"};
    }
    if (!codings.empty() &&
        (version != "HTTP/1.1" || codings.size() > 1 || codings.front() != "chunked")) {
        return Refusal{400, "a Transfer-Encoding other than chunked alone, in HTTP/1.1"};
    }
    if (lengths.empty()) {
        return std::nullopt;
    }
    const QByteArray& first = lengths.front();
    const bool digits =
        !first.isEmpty() && first.size() <= 18 &&
        std::all_of(first.begin(), first.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digits || std::any_of(lengths.begin(), lengths.end(),
                               [&](const QByteArray& other) { return other != first; })) {
        return Refusal{400, "a Content-Length that is not one decimal number"};
    }
    if (first.toLongLong() > maxBodyBytes) {
        return Refusal{413, "the body is too large"};
    }
    return std::nullopt;
}

}  // namespace irig::web
