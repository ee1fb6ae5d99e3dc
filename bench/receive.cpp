// Cost of the receive path through the real window (fake port, receive handler, state machine,
// dispatcher and labels) for status replies in short deliveries and in one 32767-byte delivery,
// and of EscapeBytes. Bytes per second must not fall for the long delivery: the cost is linear.
#include <benchmark/benchmark.h>

#include <QApplication>

#include "link/framecodec.h"
#include "shell/irig.h"
#include "support/fakeportcontroller.h"

namespace {

using irig::link::EscapeBytes;
using irig::link::Frame;
using irig::link::FrameReceiver;

const QByteArray kStatusReply =
    Frame(irig::link::code::kStartRead, QByteArray::fromHex("0102D60703070905801E"));

// Whole status replies filling 32767 bytes, the rest of the delivery left out.
QByteArray RepliesUpTo(qsizetype size) {
    QByteArray stream;
    while (stream.size() + kStatusReply.size() <= size) {
        stream += kStatusReply;
    }
    return stream;
}

void StatusRepliesOnePerDelivery(benchmark::State& state) {
    irig::test::FakePortController port;
    irig::shell::IRIG window(port);
    for (auto _ : state) {
        port.Deliver(kStatusReply);
    }
    state.SetBytesProcessed(state.iterations() * kStatusReply.size());
}
BENCHMARK(StatusRepliesOnePerDelivery);

void StatusRepliesIn32767ByteDelivery(benchmark::State& state) {
    irig::test::FakePortController port;
    irig::shell::IRIG window(port);
    const QByteArray stream = RepliesUpTo(32767);
    for (auto _ : state) {
        port.Deliver(stream);
    }
    state.SetBytesProcessed(state.iterations() * stream.size());
}
BENCHMARK(StatusRepliesIn32767ByteDelivery);

void GpsMessageOf32767Bytes(benchmark::State& state) {
    irig::test::FakePortController port;
    irig::shell::IRIG window(port);
    QByteArray text(32767 - 6, 'A');
    text[0] = 0x03;
    const QByteArray frame = Frame(irig::link::code::kStartRead, text);
    for (auto _ : state) {
        port.Deliver(frame);
    }
    state.SetBytesProcessed(state.iterations() * frame.size());
}
BENCHMARK(GpsMessageOf32767Bytes);

class NullSink final : public FrameReceiver::Sink {
public:
    void EndCode(int16_t) override {}
    void SingleCode(int16_t) override {}
};

void StateMachineAlone(benchmark::State& state) {
    const QByteArray stream = RepliesUpTo(state.range(0));
    FrameReceiver rx;
    NullSink sink;
    for (auto _ : state) {
        rx.Feed(stream, sink);
    }
    state.SetBytesProcessed(state.iterations() * stream.size());
}
BENCHMARK(StateMachineAlone)->Arg(15)->Arg(32767)->Arg(1 << 20);

void EscapeBytesOf(benchmark::State& state) {
    QByteArray data(state.range(0), '\0');
    for (qsizetype i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i * 7);  // one byte in 256 is 0x80
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(EscapeBytes(data));
    }
    state.SetBytesProcessed(state.iterations() * data.size());
}
BENCHMARK(EscapeBytesOf)->Arg(132)->Arg(32767)->Arg(1 << 20);

}  // namespace

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
