// Encoder, bit-plane stage: descendant planes, the symbols chosen for the walk, the stream.
#include "wltencoder_p.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "wltdecoder.h"

namespace wlt {

namespace {

int magnitudePlane(int32_t v)
{
    uint32_t m = uint32_t(std::abs(v));
    int plane = -1;
    while (m) {
        ++plane;
        m >>= 1;
    }
    return plane;
}

// For every coefficient, the set of bit-planes (bit p) in which one of its
// in-shape descendants becomes significant.
void computeDescendantPlanes(const Plane32 &coefficients, const Plane8 &r, Plane<uint32_t> &planes)
{
    for (auto &row : planes)
        row.fill(0);
    for (int a = 2; a <= kLevels; ++a) {
        for (int row = 0; row < kPlaneRows >> (a - 1); ++row) {
            for (int col = 0; col < kPlaneCols >> (a - 1); ++col) {
                if (coefficientLevel(row, col) != a)
                    continue;
                uint32_t bits = 0;
                for (int i = 0; i < 2; ++i) {
                    for (int j = 0; j < 2; ++j) {
                        const int cr = 2 * row + i, cc = 2 * col + j;
                        bits |= planes[cr][cc];
                        if (r[cr][cc] == kMaskInside && coefficients[cr][cc] != 0)
                            bits |= 1u << magnitudePlane(coefficients[cr][cc]);
                    }
                }
                planes[row][col] = bits;
            }
        }
    }
}

// Chooses and encodes each symbol the walk asks for: the true one for the
// first `cut` symbols, then the one that changes nothing, so that whatever the
// decoder reads past the cut leaves the coefficients as they are.
struct EncodingCoder {
    QmEncoder &encoder;
    const Plane32 &coefficients;
    const Plane<uint32_t> &descendantPlanes;
    long cut;
    int stopAfterBytes; // unstuffed
    // The lowest bit-plane each coefficient's value reaches with the true
    // symbols (-1: none).
    Plane<int8_t> &precision;
    // When given, receives every true symbol that differs from the harmless one.
    std::vector<ChannelEncoder::Departure> *departures = nullptr;
    long count = 0;
    int cutPlane = -1; // the plane the first symbol past the cut belongs to

    int symbol(State &state, SymbolKind kind, int row, int col, int fix)
    {
        const bool isTrue = count < cut;
        if (count == cut)
            cutPlane = fix;
        const int harmless = harmlessSymbol(kind);
        const int s = isTrue ? trueSymbol(state, kind, row, col, fix) : harmless;
        encoder.encodeSymbol(state, s);
        if (departures && s != harmless)
            departures->push_back({count, encoder.lastDecisionBits()});
        ++count;
        if (isTrue) {
            if (kind == SymbolKind::Refinement)
                precision[row][col] = int8_t(fix - 1);
            else if (kind != SymbolKind::OutsideShape && s <= 1)
                precision[row][col] = int8_t(fix);
        }
        return s;
    }

    int trueSymbol(const State &state, SymbolKind kind, int row, int col, int fix) const
    {
        const int32_t c = coefficients[row][col];
        const uint32_t magnitude = uint32_t(std::abs(c));
        const bool descendantTurns = (descendantPlanes[row][col] >> fix & 1) != 0;
        switch (kind) {
        case SymbolKind::Lowest:
        case SymbolKind::Band:
            if (magnitude >> fix & 1)
                return c < 0 ? 1 : 0;
            if (kind == SymbolKind::Band && state.kind == 4 && descendantTurns)
                return 3;
            return 2;
        case SymbolKind::OutsideShape:
            return descendantTurns ? 1 : 0;
        case SymbolKind::Refinement:
            return int(magnitude >> (fix - 1) & 1);
        }
        return 0;
    }

    static int harmlessSymbol(SymbolKind kind)
    {
        return kind == SymbolKind::Lowest || kind == SymbolKind::Band ? 2 : 0;
    }

    bool IsEnd_2ff0() const { return encoder.rawSize() > stopAfterBytes; }
};

// Coded bytes past those the stream keeps before the walk stops: the
// symbols after the cut then reach the stream's end, and later carries
// (which run back only through FF bytes) cannot change what it keeps.
constexpr int kSlackBytes = 2;
// Cuts tried one by one below an estimate that failed, before halving.
constexpr int kStepsDown = 2;
constexpr long kNoCut = 1L << 40;

// Unstuffed bytes of the stream that reach the decoder as coded: those that
// lie wholly before the stream's last byte, which is never delivered, and
// before the end of the bytes it keeps.
long deliveredRawBytes(const std::vector<uint8_t> &stuffed, int length, int realBytes)
{
    const int end = std::min(realBytes, length - 1);
    long raw = 0;
    for (int i = 0; i < int(stuffed.size());) {
        const int size = stuffed[size_t(i)] == 0xFF ? 2 : 1;
        if (2 + i + size > end)
            break;
        ++raw;
        i += size;
    }
    return raw;
}

} // namespace

ChannelEncoder::ChannelEncoder(const ShapeIndex &index)
    : m_shape(index), m_trial(std::make_unique<ChannelCoding>()), m_kept(std::make_unique<ChannelCoding>()),
      m_check(std::make_unique<ChannelPlanes>())
{
}

ChannelEncoder::~ChannelEncoder() = default;

bool ChannelEncoder::attempt(ChannelCoding &coding, long cut, int length, int realBytes,
                             std::vector<Departure> *departures)
{
    QmEncoder encoder;
    for (auto &row : coding.precision)
        row.fill(-1);
    EncodingCoder coder{encoder, *m_coefficients, m_descendantPlanes, cut, realBytes - 2 + kSlackBytes, coding.precision,
                        departures};
    BitPlaneWalk<EncodingCoder> walk(coder, m_shape, coding.planes);
    walk.run(m_topPlane);
    m_symbolsUsed = coder.count;
    coding.cutPlane = coder.cutPlane;
    const bool ranOut = coder.IsEnd_2ff0();
    encoder.flush();
    const std::vector<uint8_t> bytes = encoder.stuffedBytes();
    coding.stream.assign(size_t(length), 0);
    coding.stream[0] = uint8_t(m_topPlane);
    coding.stream[1] = kStreamMarker;
    const size_t kept = size_t(std::max(0, std::min(realBytes, length) - 2));
    std::copy_n(bytes.begin(), std::min(bytes.size(), kept), coding.stream.begin() + 2);
    if (departures) {
        m_allTrueBytes = bytes;
        // All true symbols that ran past the budget: never exact in practice,
        // and the cuts below tell.
        if (ranOut)
            return false;
    }
    if (decodeChannel(coding.stream.data(), length, m_shape, *m_check) != WltSuccess)
        return false;
    return std::memcmp(&m_check->value, &coding.planes.value, sizeof(Plane32)) == 0;
}

const ChannelCoding &ChannelEncoder::encode(const Plane32 &coefficients, int length, int realBytes)
{
    m_coefficients = &coefficients;
    computeDescendantPlanes(coefficients, m_shape.r, m_descendantPlanes);
    int32_t largest = 0;
    for (int row = 0; row < kPlaneRows; ++row) {
        for (int col = 0; col < kPlaneCols; ++col) {
            if (m_shape.r[row][col] == kMaskInside)
                largest = std::max(largest, std::abs(coefficients[row][col]));
        }
    }
    m_topPlane = std::max(0, magnitudePlane(largest));

    // One coding of all true symbols tells where each departure from the
    // harmless symbols sits in the code.
    m_departures.clear();
    if (attempt(*m_trial, kNoCut, length, realBytes, &m_departures)) {
        std::swap(m_trial, m_kept);
        return *m_kept;
    }
    // Cut i keeps the departures before departure i; cuts between two
    // departures all give the same stream.
    const long allSymbols = m_symbolsUsed;
    const auto cutAt = [&](size_t i) { return i < m_departures.size() ? m_departures[i].index : allSymbols; };
    const auto tryCut = [&](size_t i) {
        if (!attempt(*m_trial, cutAt(i), length, realBytes, nullptr))
            return false;
        std::swap(m_trial, m_kept);
        return true;
    };
    // Start at the first departure whose decisions reach past the code the
    // decoder is sure to get.
    const long bitLimit = 8 * deliveredRawBytes(m_allTrueBytes, length, realBytes);
    const size_t estimate = size_t(std::partition_point(m_departures.begin(), m_departures.end(),
                                                  [&](const Departure &d) { return d.bits + 16 <= bitLimit; })
                             - m_departures.begin());
    if (tryCut(estimate))
        return *m_kept;
    // Too long after all: the cut just below usually fits, else halve.
    long failed = long(estimate);
    for (int step = 0; step < kStepsDown && failed > 0; ++step) {
        if (tryCut(size_t(failed - 1)))
            return *m_kept;
        --failed;
    }
    long fits = -1;
    while (failed - fits > 1) {
        const long middle = (fits + failed) / 2;
        if (tryCut(size_t(middle)))
            fits = middle;
        else
            failed = middle;
    }
    if (fits < 0) {
        // Nothing decodes exactly: send the harmless symbols alone.
        attempt(*m_trial, 0, length, realBytes, nullptr);
        std::swap(m_trial, m_kept);
    }
    return *m_kept;
}

} // namespace wlt
