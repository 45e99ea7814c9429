// libFuzzer target for the decoder: a header, then events read the way the
// extension's iteration reads them, until a failure or the end of the data.
// Besides the sanitizers it checks the sink contract: a pulse that is taken
// without error has consumed exactly its samples.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "lma/event.hpp"
#include "lma/header.hpp"

namespace {

// Larger traces only make each run slow; the decoding paths are the same.
constexpr std::int64_t kMaxTraceValues = std::int64_t{1} << 20;

// Traces in a vector of exactly nchannels x nsamples, so AddressSanitizer
// sees any write past a row.
class FuzzSink final : public lma::TraceSink {
public:
    FuzzSink(const lma::Header& h, std::size_t values)
        : TraceSink(h, buf_), traces_(values) {}

    lma::Status begin_event() override {
        traces_.assign(traces_.size(), 0.0);
        set_traces(traces_.data());
        return lma::ok();
    }

    lma::Status take_pulse(std::FILE* in, std::size_t row,
                           lma::Pulse p) override {
        const long before = std::ftell(in);
        lma::Status s = TraceSink::take_pulse(in, row, p);
        if (s.ok() && std::ftell(in) - before != 2L * p.length) {
            std::abort();
        }
        return s;
    }

private:
    lma::SampleBuffer buf_;
    std::vector<double> traces_;
};

// The iteration: seek to the first record; while a byte remains, step back
// over it and decode one record.
void read_events(std::FILE* in, const lma::Header& h, FuzzSink& sink) {
    if (std::fseek(in, static_cast<long>(h.pos_begin), SEEK_SET) != 0) {
        return;
    }
    std::int32_t tag = 0;
    while (std::fgetc(in) != EOF) {
        if (std::fseek(in, -1, SEEK_CUR) != 0 ||
            !lma::read_event(in, h, sink, tag).ok()) {
            return;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
    // Mode "rb" never writes through the buffer.
    std::FILE* in = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    if (in == nullptr) {
        return 0;
    }
    // A header that fails part-way still leaves a reader that can be
    // iterated, with the fields read so far.
    lma::Header h;
    (void)lma::read_header(in, h);
    const std::int64_t values =
        std::int64_t{h.nchannels} * std::int64_t{h.nsamples};
    // A negative count is refused by the extension's array allocation.
    if (h.nsamples >= 0 && values <= kMaxTraceValues) {
        FuzzSink sink(h, static_cast<std::size_t>(values));
        read_events(in, h, sink);
    }
    std::fclose(in);
    return 0;
}
