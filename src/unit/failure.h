// Why a request to a unit came to nothing, as one typed value with the words that say it; and a
// request's result, its value or that failure. The serial component's error numbers stop below
// this: what is shown above it is a Failure's text.
#pragma once

#include <QString>
#include <optional>
#include <utility>

namespace irig::unit {

struct Failure {
    enum class Kind {
        kSilent,          // nothing that was asked for came within the wait (or, after a
                          // time-out, the line never fell quiet for the next request to go)
        kMisfit,          // an answer of the wrong length: `expected` and `got` bytes
        kTooLong,         // an answer too long to keep
        kPortLost,        // the port closed itself meanwhile
        kInterrupted,     // the caller ended the wait
        kImpossibleDate,  // the unit read a date or time that cannot be
        kNotKept,         // the unit answered or kept another value than the one written
    };

    Kind kind = Kind::kSilent;
    QString
        text;  // "no answer within 1044 ms", "an answer that does not fit: 3 bytes where 10 ..."
    qsizetype expected = 0;
    qsizetype got = 0;
    bool sent = true;  // the request went out: a write may have reached the unit

    static Failure Silent(int waitedMs);
    static Failure Unquiet(int quietMs);
    static Failure Misfit(qsizetype expected, qsizetype got);
    static Failure TooLong(qsizetype bound);
    static Failure PortLost(const QString& reason);
    // `sent`: the request was on its way; otherwise it never went out.
    static Failure Interrupted(bool sent = true);
    static Failure ImpossibleDate(const QString& reading);
    // "the unit kept GPS offset 0, not 7": what the unit has against what was written.
    static Failure NotKept(const QString& what);
};

template <typename T>
class Result {
public:
    // cppcheck-suppress noExplicitConstructor ; a value is a result
    Result(T value) : value_(std::move(value)) {}  // NOLINT: a value is a result
    // cppcheck-suppress noExplicitConstructor ; so is a failure
    Result(Failure failure) : failure_(std::move(failure)) {}  // NOLINT: so is a failure

    explicit operator bool() const { return value_.has_value(); }
    const T& operator*() const { return *value_; }
    const T* operator->() const { return &*value_; }
    // Why there is no value; meaningless when there is one.
    const Failure& Why() const { return failure_; }

private:
    std::optional<T> value_;
    Failure failure_;
};

}  // namespace irig::unit
