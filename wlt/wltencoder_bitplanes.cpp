// Encoder, bit-plane stage: descendant planes, the symbols chosen for the walk, the stream.
#include "wltencoder_p.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "wltdecoder.h"

namespace wlt {

namespace {

// Cut where the code the decoder is sure to get ends; see EncodingCoder.
constexpr long kCutWhereCodeEnds = -1;

// The highest set bit of |v| (-1 for 0).
int magnitudePlane(int32_t v)
{
    const uint32_t m = uint32_t(std::abs(v));
    return m ? 31 - __builtin_clz(m) : -1;
}

// For every coefficient, the set of bit-planes (bit p) in which one of its
// in-shape descendants becomes significant.
void computeDescendantPlanes(const Plane32 &coefficients, const Plane8 &r, Plane<uint32_t> &planes)
{
    for (auto &row : planes)
        row.fill(0);
    for (int a = 2; a <= kLevels; ++a) {
        for (int row = 0; row < levelRows(a); ++row) {
            for (int col = 0; col < levelCols(a); ++col) {
                if (row < (kPlaneRows >> a) && col < (kPlaneCols >> a))
                    continue; // the next coarser level
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

// Chooses and encodes each symbol the walk asks for: the true one up to the
// cut, then the one that changes nothing, so that whatever the decoder reads
// past the cut leaves the coefficients as they are. A true symbol that
// differs from the harmless one is a departure; cuts between two departures
// give the same stream.
struct EncodingCoder {
    QmEncoder &encoder;
    const Plane32 &coefficients;
    const Plane<uint32_t> &descendantPlanes;
    // The first symbol not sent true; with cutWhereCodeEnds, found on the
    // way: the first departure whose decisions reach past the code the
    // decoder is sure to get.
    long cut;
    bool cutWhereCodeEnds;
    int deliveredEnd; // stream bytes from here on do not reach the decoder as coded
    // The walk stops once the coder has written more unstuffed bytes than
    // this: every code bit the stream keeps then comes from symbols coded,
    // and the flush ends a valid code for them. (Symbols past the stream
    // would cost walk time and change nothing the decoder reads.)
    int stopAfterBytes;
    // The lowest bit-plane each coefficient's value reaches with the true
    // symbols (-1: none).
    Plane<int8_t> &precision;
    // When given, receives the place of every departure sent.
    std::vector<long> *departures;
    long count = 0;
    int cutPlane = -1; // the plane the first symbol past the cut belongs to

    template <int kTree>
    int symbol(State &state, SymbolKind kind, int row, int col, int fix)
    {
        const int harmless = harmlessSymbol(kind);
        int s = harmless;
        if (count < cut) {
            s = trueSymbol(state, kind, row, col, fix);
            if (s != harmless) {
                if (cutWhereCodeEnds && !decodable(state, s)) {
                    cut = count;
                    s = harmless;
                } else if (departures) {
                    departures->push_back(count);
                }
            }
        }
        if (count < cut) {
            if (kind == SymbolKind::Refinement)
                precision[row][col] = int8_t(fix - 1);
            else if (kind != SymbolKind::OutsideShape && s <= 1)
                precision[row][col] = int8_t(fix);
        } else if (count == cut) {
            cutPlane = fix;
        }
        encoder.encodeSymbol(state, s);
        ++count;
        return s;
    }

    // True when the decoder gets symbol s right from the delivered code alone:
    // every code bit its decisions compare lies in a byte before deliveredEnd
    // (bytes written so far tell how many of those are FF and take two).
    bool decodable(const State &state, int s) const
    {
        const long deliveredBytes = deliveredEnd - 2 - (encoder.stuffedSize() - encoder.rawSize());
        return encoder.lastDecisionBits(state, s) + 16 <= 8 * deliveredBytes;
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

} // namespace

ChannelEncoder::ChannelEncoder(const ShapeIndex &index)
    : m_shape(index), m_trial(std::make_unique<ChannelCoding>()), m_kept(std::make_unique<ChannelCoding>()),
      m_check(std::make_unique<ChannelPlanes>())
{
}

ChannelEncoder::~ChannelEncoder() = default;

bool ChannelEncoder::attempt(long cut, int length, int realBytes, bool check)
{
    ChannelCoding &coding = *m_trial;
    QmEncoder encoder;
    for (auto &row : coding.precision)
        row.fill(-1);
    const bool cutWhereCodeEnds = cut == kCutWhereCodeEnds;
    if (cutWhereCodeEnds)
        m_departures.clear();
    EncodingCoder coder{encoder,
                        *m_coefficients,
                        m_descendantPlanes,
                        cutWhereCodeEnds ? std::numeric_limits<long>::max() : cut,
                        cutWhereCodeEnds,
                        std::min(realBytes, length - 1),
                        realBytes - 2,
                        coding.precision,
                        cutWhereCodeEnds ? &m_departures : nullptr};
    BitPlaneWalk<EncodingCoder> walk(coder, m_shape, coding.planes);
    walk.run(m_topPlane);
    coding.cutPlane = coder.cutPlane;
    encoder.flush();
    const std::vector<uint8_t> bytes = encoder.stuffedBytes();
    coding.stream.assign(size_t(length), 0);
    coding.stream[0] = uint8_t(m_topPlane);
    coding.stream[1] = kStreamMarker;
    const size_t kept = size_t(std::max(0, std::min(realBytes, length) - 2));
    std::copy_n(bytes.begin(), std::min(bytes.size(), kept), coding.stream.begin() + 2);
    if (check && !decodesAsMeant(coding))
        return false;
    std::swap(m_trial, m_kept);
    return true;
}

bool ChannelEncoder::decodesAsMeant(const ChannelCoding &coding)
{
    return decodeChannel(coding.stream.data(), int(coding.stream.size()), m_shape, *m_check) == WltSuccess
           && std::memcmp(&m_check->value, &coding.planes.value, sizeof(Plane32)) == 0;
}

const ChannelCoding &ChannelEncoder::encode(const Plane32 &coefficients, int length, int realBytes)
{
    m_coefficients = &coefficients;
    computeDescendantPlanes(coefficients, m_shape.r, m_descendantPlanes);
    int32_t largest = 0;
    for (int row = 0; row < kPlaneRows; ++row) {
        for (int col = 0; col < kPlaneCols; ++col) {
            const int32_t magnitude = m_shape.r[row][col] == kMaskInside ? std::abs(coefficients[row][col]) : 0;
            largest = std::max(largest, magnitude);
        }
    }
    m_topPlane = std::max(0, magnitudePlane(largest));

    m_length = length;
    m_realBytes = realBytes;
    attempt(kCutWhereCodeEnds, length, realBytes, false);
    m_checked = false;
    return *m_kept;
}

const ChannelCoding &ChannelEncoder::check()
{
    if (m_checked)
        return *m_kept;
    m_checked = true;
    // Usually the cut where the code ends decodes. Else an earlier one does,
    // made by sending the departures before it: look back 1, 2, 4, ...
    // departures, then halve the last step. (A stream that runs past the
    // block is read on as zeros, which decode as what they happen to mean
    // for a long way: there the first good cut can lie dozens back.)
    if (decodesAsMeant(*m_kept))
        return *m_kept;
    long failed = long(m_departures.size());
    long fits = -1;
    for (long step = 1; fits < 0 && failed > 0; step *= 2) {
        const long back = std::max(0L, failed - step);
        if (attempt(m_departures[size_t(back)], m_length, m_realBytes, true))
            fits = back;
        else
            failed = back;
    }
    while (fits >= 0 && failed - fits > 1) {
        const long middle = (fits + failed) / 2;
        if (attempt(m_departures[size_t(middle)], m_length, m_realBytes, true))
            fits = middle;
        else
            failed = middle;
    }
    if (fits < 0) {
        // Nothing decodes exactly: send the harmless symbols alone.
        attempt(0, m_length, m_realBytes, false);
    }
    return *m_kept;
}

} // namespace wlt
